#include "request_framing.h"

#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/String.h>
#include <Poco/URI.h>

#include <algorithm>
#include <optional>

namespace korvane::Engine::LocalApi {

namespace {

// A Content-Length is digits only, and repeated ones must agree (RFC 9112 6.3).
bool contentLengthsAgree(const Poco::Net::HTTPServerRequest& request) {
    std::optional<std::string> first;
    for (const auto& [name, value] : request) {
        if (Poco::icompare(name, Poco::Net::HTTPMessage::CONTENT_LENGTH) != 0) continue;
        const bool digits =
            std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (value.empty() || !digits) return false;
        if (first && *first != value) return false;
        first = value;
    }
    return true;
}

// The still-encoded path of a request target (origin form, or absolute form with a scheme).
std::string rawPathOf(const std::string& target) {
    std::size_t begin = 0;
    if (!target.starts_with('/')) {
        const std::size_t scheme = target.find("://");
        begin = scheme == std::string::npos ? 0 : target.find('/', scheme + 3);
        if (begin == std::string::npos) return "/";
    }
    const std::size_t end = target.find_first_of("?#", begin);
    return target.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// Split before decoding, so that an encoded "/" stays inside its segment (an id may hold one).
std::vector<std::string> decodedPathSegments(const std::string& rawPath) {
    std::vector<std::string> segments;
    std::size_t start = 0;
    while (start <= rawPath.size()) {
        const std::size_t end = std::min(rawPath.find('/', start), rawPath.size());
        if (end > start) {
            std::string segment;
            Poco::URI::decode(rawPath.substr(start, end - start), segment);
            segments.push_back(std::move(segment));
        }
        start = end + 1;
    }
    return segments;
}

}  // namespace

ApiRequest readRequestHead(Poco::Net::HTTPServerRequest& request) {
    ApiRequest api;
    api.method = request.getMethod();
    api.uri = request.getURI();
    api.contentType = request.getContentType();
    for (const auto& [name, value] : request) api.headers.emplace_back(name, value);
    Poco::URI uri(api.uri);
    api.segments = decodedPathSegments(rawPathOf(api.uri));
    api.query = uri.getQueryParameters();
    return api;
}

bool bodyEndInDoubt(const Poco::Net::HTTPServerRequest& request) {
    const bool unknownCoding = request.has(Poco::Net::HTTPMessage::TRANSFER_ENCODING) &&
                               !request.getChunkedTransferEncoding();
    return unknownCoding || !contentLengthsAgree(request);
}

bool connectionEndsAfterBody(const Poco::Net::HTTPServerRequest& request) {
    return request.hasContentLength() && request.getChunkedTransferEncoding();
}

bool hasBody(const Poco::Net::HTTPServerRequest& request) {
    return request.getChunkedTransferEncoding() || request.hasContentLength();
}

}  // namespace korvane::Engine::LocalApi
