// Serving one local API request: its framing, who may call it, its body, routing and the
// reply; relaying requests outside the API.
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>
#include <Poco/UTF8String.h>
#include <openssl/crypto.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>

#include "agent_metrics.h"
#include "connection_watchdog.h"
#include "local_api_connections.h"
#include "logger.h"
#include "request_body_reader.h"
#include "request_framing.h"
#include "server.h"

namespace korvane::Engine::Test {

namespace {

using LocalApi::ConnectionWatchdog;

constexpr std::size_t kCopyBlock = 8192;
// Each spooled upload holds a worker, a file of up to a gigabyte and, while it is sent, the
// camera; more at once only make each slower.
constexpr int kMaxSpooledUploads = 2;
constexpr const char* kRetryUploadAfterSeconds = "5";
constexpr const char* kAdminTokenKey = "local_api_admin_token";

// Compares every byte whatever the first difference, so that the time taken tells a caller
// guessing the token nothing but its length.
bool sameSecret(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::optional<std::string> bearerTokenOf(const ApiRequest& request) {
    for (const auto& [name, value] : request.headers) {
        if (Poco::icompare(name, "Authorization") != 0) continue;
        const std::string scheme = "Bearer ";
        if (value.size() <= scheme.size() ||
            Poco::icompare(value.substr(0, scheme.size()), scheme) != 0) {
            return std::nullopt;
        }
        return Poco::trim(value.substr(scheme.size()));
    }
    return std::nullopt;
}

// A place among the uploads being spooled, held until the answer is written.
class UploadSlot {
  public:
    explicit UploadSlot(std::atomic<int>& inUse) : inUse_(inUse) {
        taken_ = inUse_.fetch_add(1) < kMaxSpooledUploads;
    }
    ~UploadSlot() { inUse_.fetch_sub(1); }
    UploadSlot(const UploadSlot&) = delete;
    UploadSlot& operator=(const UploadSlot&) = delete;
    bool taken() const { return taken_; }

  private:
    std::atomic<int>& inUse_;
    bool taken_ = false;
};

// After a refusal that left the body unread.
void drainBriefly(Poco::Net::HTTPServerRequest& request) {
    if (auto* impl = dynamic_cast<Poco::Net::HTTPServerRequestImpl*>(&request)) {
        LocalApi::closeAfterAnswer(impl->socket().impl()->sockfd());
    }
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

void countRequest(const std::string& route, int status,
                  std::chrono::steady_clock::time_point began) {
    auto& metrics = Utils::Metrics::agentMetrics();
    metrics.localApiRequests.at({route, std::to_string(status)}).add();
    metrics.localApiSeconds.at({route}).observe(std::chrono::steady_clock::now() - began);
}

ApiReply relayFailure(const std::string& reason) {
    return ApiReply::json(R"({"error": ")" + Poco::UTF8::escape(reason, true) + R"("})", 500);
}

}  // namespace

void Server::HandleSession(Poco::Net::HTTPServerRequest& request,
                           Poco::Net::HTTPServerResponse& response) {
    // The body, if any, is due within the step limit of its head.
    ConnectionWatchdog::stepStarted();
    const auto began = std::chrono::steady_clock::now();
    response.setChunkedTransferEncoding(false);
    response.setKeepAlive(request.getKeepAlive());
    ApiReply reply;
    // The spooled upload and its slot live until the answer is written.
    std::unique_ptr<LocalApi::SpoolFile> spool;
    std::optional<UploadSlot> uploadSlot;
    bool bodyUnread = false;
    const std::string* route = nullptr;
    try {
        ApiRequest api = LocalApi::readRequestHead(request);
        route = &router_.routeName(api);
        const bool upload = router_.takesUpload(api);
        if (upload) uploadSlot.emplace(uploadsSpooling_);
        if (auto refused = refusalBeforeBody(request, api, !uploadSlot || uploadSlot->taken())) {
            reply = *refused;
            bodyUnread = true;
        } else if (auto tooLarge = LocalApi::readRequestBody(request, api, upload, spool)) {
            reply = *tooLarge;
            bodyUnread = true;
        } else {
            ConnectionWatchdog::serving();
            reply = router_.route(api);
            if (reply.notFound && !forwardingEnabled()) printUnroutedRequest(api);
        }
    } catch (const Poco::Exception& e) {
        // Only reading the request can fail here: a broken URI or a dropped body.
        Log()->error("Bad request {} {}: {};", request.getMethod(), request.getURI(),
                     e.displayText());
        reply = ApiReply::refusal(400, LocalApi::kBadRequestCode);
    }
    if (reply.close || LocalApi::connectionEndsAfterBody(request)) response.setKeepAlive(false);
    try {
        // A client that does not take its answer loses its connection.
        ConnectionWatchdog::stepStarted();
        writeReply(response, reply);
        if (bodyUnread) drainBriefly(request);
    } catch (const Poco::Exception& e) {
        // The client hung up before its answer: nothing left to tell it.
        Log()->warn("Answer to {} {} not delivered: {};", request.getMethod(), request.getURI(),
                    e.displayText());
    }
    static const std::string kUnreadable = "unreadable";
    countRequest(route ? *route : kUnreadable, reply.status, began);
}

std::optional<ApiReply> Server::refusalBeforeBody(const Poco::Net::HTTPServerRequest& request,
                                                  const ApiRequest& api, bool uploadSlotFree) {
    if (LocalApi::bodyEndInDoubt(request)) {
        Log()->error("Bad request {} {}: conflicting body framing;", api.method, api.uri);
        return ApiReply::refusal(400, LocalApi::kBadRequestCode);
    }
    if (router_.needsAdmin(api) && !adminAllowed(api)) {
        Log()->warn("Request {} {} refused: no valid admin token;", api.method, api.uri);
        ApiReply reply = ApiReply::refusal(401, LocalApi::kBadRequestCode);
        reply.headers.emplace_back("WWW-Authenticate", "Bearer");
        return reply;
    }
    if (!uploadSlotFree) {
        Log()->warn("Upload {} {} refused: {} uploads are being received already;", api.method,
                    api.uri, kMaxSpooledUploads);
        ApiReply reply = ApiReply::refusal(503, LocalApi::kInternalErrorCode);
        reply.headers.emplace_back("Retry-After", kRetryUploadAfterSeconds);
        return reply;
    }
    return std::nullopt;
}

bool Server::adminAllowed(const ApiRequest& request) {
    std::string token;
    {
        std::lock_guard lock(dbMutex_);
        if (auto it = configuration_.find(kAdminTokenKey); it != configuration_.end()) {
            token = it->second.isEmpty() ? "" : it->second.toString();
        }
    }
    if (token.empty()) return true;
    const auto shown = bearerTokenOf(request);
    return shown && sameSecret(*shown, token);
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
