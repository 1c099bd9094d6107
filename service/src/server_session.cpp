// Reading a request, routing it and writing the reply; relaying requests outside the API.
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>
#include <Poco/URI.h>
#include <Poco/UTF8String.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>

#include "local_api_connections.h"
#include "logger.h"
#include "responses.h"
#include "server.h"
#include "task_handler_provider_support.h"

namespace korvane::Engine::Test {

namespace {

constexpr std::size_t kCopyBlock = 8192;
constexpr std::size_t kUploadBlock = 64 * 1024;
// JSON commands take small objects; uploads (firmware, template archives) up to a gigabyte.
constexpr std::uint64_t kJsonBodyLimit = 1 << 20;
constexpr std::uint64_t kUploadBodyLimit = std::uint64_t{1} << 30;
constexpr int kBadRequestCode = -6200;
constexpr int kInternalErrorCode = -6210;

using Sync::TaskSupport::TemporaryFile;

ApiReply refusal(int status, int code = kBadRequestCode) {
    ApiReply reply = ApiReply::json(Utils::toJsonText(Utils::get_empty_response(code)), status);
    reply.close = true;
    return reply;
}

// RFC 9112 6.3: a Content-Length is digits only, and repeated ones must agree, or the end of
// the body and the start of the next request are in doubt.
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

// A transfer coding other than chunked leaves the body's end unknown (RFC 9112 6.3).
bool unknownTransferCoding(const Poco::Net::HTTPServerRequest& request) {
    return request.has(Poco::Net::HTTPMessage::TRANSFER_ENCODING) &&
           !request.getChunkedTransferEncoding();
}

// Copies at most limit bytes of in to sink(data, size); false when there was more.
template <class Sink>
bool copyAtMost(std::istream& in, std::uint64_t limit, std::uint64_t& copied, Sink sink) {
    std::string block(kUploadBlock, '\0');
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto got = static_cast<std::uint64_t>(in.gcount());
        if (got == 0) break;
        if (copied + got > limit) return false;
        sink(block.data(), static_cast<std::size_t>(got));
        copied += got;
    }
    return true;
}

// Reads the request's body into api.body, or for an upload into a file of the Agent's own
// named by api.bodyFile, never past the limit. A refusal when the body is too large (then the
// rest stays unread) or cannot be saved.
std::optional<ApiReply> readBody(Poco::Net::HTTPServerRequest& request, ApiRequest& api,
                                 bool upload, std::unique_ptr<TemporaryFile>& saved) {
    // A request with neither a length nor chunked encoding has no body (RFC 9112 6.3); reading
    // its stream would wait for the client to close the connection.
    const bool chunked = request.getChunkedTransferEncoding();
    if (!chunked && !request.hasContentLength()) return std::nullopt;
    const std::uint64_t limit = upload ? kUploadBodyLimit : kJsonBodyLimit;
    const auto declared = chunked ? 0 : static_cast<std::uint64_t>(request.getContentLength64());
    if (declared > limit) {
        Log()->error("Request {} {} refused: body of {} bytes, at most {} taken;",
                     request.getMethod(), request.getURI(), declared, limit);
        return refusal(413);
    }
    std::uint64_t copied = 0;
    bool fits = true;
    if (upload) {
        saved = TemporaryFile::create("upload_", ".part");
        if (!saved) {
            Log()->error("Cannot save upload: {};", TemporaryFile::pattern("upload_", ".part"));
            return refusal(500, kInternalErrorCode);
        }
        api.bodyFile = saved->path();
        try {
            fits = copyAtMost(request.stream(), limit, copied,
                              [&](const char* data, std::size_t size) {
                                  if (!saved->append({data, size})) {
                                      throw Poco::WriteFileException(saved->path());
                                  }
                              });
        } catch (const Poco::WriteFileException& e) {
            Log()->error("Cannot save upload: {};", e.displayText());
            return refusal(500, kInternalErrorCode);
        }
    } else {
        fits = copyAtMost(request.stream(), limit, copied,
                          [&](const char* data, std::size_t size) { api.body.append(data, size); });
    }
    if (!fits) {
        Log()->error("Request {} {} refused: chunked body past {} bytes;", request.getMethod(),
                     request.getURI(), limit);
        return refusal(413);
    }
    // A client that hung up mid-body must not have half an upload passed on as a whole one.
    if (!chunked && copied < declared) throw Poco::IOException("request body ended early");
    return std::nullopt;
}

// After a refusal that left the body unread.
void drainBriefly(Poco::Net::HTTPServerRequest& request) {
    if (auto* impl = dynamic_cast<Poco::Net::HTTPServerRequestImpl*>(&request)) {
        closeAfterAnswer(impl->socket().impl()->sockfd());
    }
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

// Everything of the request but its body.
ApiRequest readHead(Poco::Net::HTTPServerRequest& request) {
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

void writeReply(Poco::Net::HTTPServerResponse& response, const ApiReply& reply) {
    const auto status = static_cast<Poco::Net::HTTPResponse::HTTPStatus>(reply.status);
    response.setStatusAndReason(status, reply.reason.empty()
                                            ? Poco::Net::HTTPResponse::getReasonForStatus(status)
                                            : reply.reason);
    for (const auto& [name, value] : reply.headers) response.set(name, value);
    response.setContentType(reply.contentType);
    response.setContentLength64(static_cast<Poco::Int64>(reply.body.size()));
    std::ostream& out = response.send();
    out.write(reply.body.data(), static_cast<std::streamsize>(reply.body.size()));
    // Out of the stream's buffer now: a refused client's connection is shut right after.
    out.flush();
}

ApiReply relayFailure(const std::string& reason) {
    return ApiReply::json(R"({"error": ")" + Poco::UTF8::escape(reason, true) + R"("})", 500);
}

}  // namespace

void Server::HandleSession(Poco::Net::HTTPServerRequest& request,
                           Poco::Net::HTTPServerResponse& response) {
    response.setChunkedTransferEncoding(false);
    response.setKeepAlive(request.getKeepAlive());
    ApiReply reply;
    // The saved upload lives until the answer is written, and is removed whatever happened.
    std::unique_ptr<TemporaryFile> saved;
    bool bodyUnread = false;
    try {
        ApiRequest api = readHead(request);
        if (!contentLengthsAgree(request) || unknownTransferCoding(request)) {
            Log()->error("Bad request {} {}: conflicting body framing;", request.getMethod(),
                         request.getURI());
            reply = refusal(400);
            bodyUnread = true;
        } else if (auto refused = readBody(request, api, router_.takesUpload(api), saved)) {
            reply = *refused;
            bodyUnread = true;
        } else {
            reply = router_.route(api);
            if (reply.notFound && !forwardingEnabled()) printUnroutedRequest(api);
        }
    } catch (const Poco::Exception& e) {
        // Only reading the request can fail here: a broken URI or a dropped upload.
        Log()->error("Bad request {} {}: {};", request.getMethod(), request.getURI(),
                     e.displayText());
        reply = refusal(400);
    }
    // Both a length and chunked: served by the chunks, but whoever sent it may have meant the
    // length, so nothing after it on this connection can be trusted (RFC 9112 6.1).
    if (reply.close || (request.hasContentLength() && request.getChunkedTransferEncoding())) {
        response.setKeepAlive(false);
    }
    try {
        writeReply(response, reply);
        if (bodyUnread) drainBriefly(request);
    } catch (const Poco::Exception& e) {
        // The client hung up before its answer: nothing left to tell it.
        Log()->warn("Answer to {} {} not delivered: {};", request.getMethod(), request.getURI(),
                    e.displayText());
    }
}

ApiReply Server::outsideApi(const ApiRequest& request) {
    if (forwardingEnabled()) return forwardToCamera(request);
    return ApiReply::notFoundReply();
}

void Server::printUnroutedRequest(const ApiRequest& request) const {
    std::cout << "[HandleSession] Received request for endpoint: " << request.uri << '\n'
              << "[HandleSession] Content-Type: "
              << (request.contentType.empty() ? "not specified" : request.contentType) << std::endl;
}

bool Server::forwardingEnabled() const {
    std::lock_guard lock(componentsMutex_);
    return forwarding_;
}

ApiReply Server::forwardToCamera(const ApiRequest& request) {
    const CameraEndpoint camera = cameraEndpoint();
    try {
        Poco::Net::HTTPClientSession session(camera.host, static_cast<Poco::UInt16>(camera.port));
        Poco::Net::HTTPRequest relay(request.method, request.uri, Poco::Net::HTTPMessage::HTTP_1_1);
        for (const auto& [name, value] : request.headers) {
            if (Poco::icompare(name, "Host") != 0) relay.add(name, value);
        }
        relay.setHost(camera.host);
        relay.setContentLength64(static_cast<Poco::Int64>(request.body.size()));
        session.sendRequest(relay) << request.body;

        Poco::Net::HTTPResponse answer;
        std::istream& in = session.receiveResponse(answer);
        ApiReply reply;
        reply.status = answer.getStatus();
        reply.reason = answer.getReason();
        reply.contentType = answer.getContentType();
        for (const auto& [name, value] : answer) reply.headers.emplace_back(name, value);
        Poco::StreamCopier::copyToString(in, reply.body, kCopyBlock);
        return reply;
    } catch (const Poco::Exception& e) {
        return relayFailure(e.displayText());
    } catch (const std::exception& e) {
        return relayFailure(e.what());
    }
}

}  // namespace korvane::Engine::Test
