// Reading a request, routing it and writing the reply; relaying requests outside the API.
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>
#include <Poco/URI.h>
#include <Poco/UTF8String.h>

#include <iostream>

#include "logger.h"
#include "responses.h"
#include "server.h"

namespace korvane::Engine::Test {

namespace {

constexpr std::size_t kCopyBlock = 8192;

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

ApiRequest readRequest(Poco::Net::HTTPServerRequest& request) {
    ApiRequest api;
    api.method = request.getMethod();
    api.uri = request.getURI();
    api.contentType = request.getContentType();
    for (const auto& [name, value] : request) api.headers.emplace_back(name, value);
    // A request with neither a length nor chunked encoding has no body (RFC 9112 6.3); reading
    // its stream would wait for the client to close the connection.
    if (request.hasContentLength() || request.getChunkedTransferEncoding()) {
        Poco::StreamCopier::copyToString(request.stream(), api.body, kCopyBlock);
    }
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
    response.send().write(reply.body.data(), static_cast<std::streamsize>(reply.body.size()));
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
    try {
        const ApiRequest api = readRequest(request);
        reply = router_.route(api);
        if (reply.notFound && !forwardingEnabled()) printUnroutedRequest(api);
    } catch (const Poco::Exception& e) {
        // Only reading the request can fail here: a broken URI or a dropped upload.
        Log()->error("Bad request {} {}: {};", request.getMethod(), request.getURI(),
                     e.displayText());
        reply = ApiReply::json(Utils::toJsonText(Utils::get_empty_response(-6200)), 400);
    }
    try {
        writeReply(response, reply);
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
