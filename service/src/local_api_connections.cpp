#include "local_api_connections.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPServerConnection.h>
#include <Poco/Net/StreamSocket.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "api_exchange.h"
#include "logger.h"

namespace korvane::Engine::LocalApi {

namespace {

// How long a refused client is given to stop sending before its connection closes.
constexpr std::chrono::seconds kDrainTime{2};
constexpr std::uint64_t kDrainBytes = 16 << 20;

// The answer the HTTP library cannot give itself: it fails while reading the head, before any
// response object exists.
std::string unreadableLengthAnswer() {
    const std::string body = ApiReply::failure(400, kBadRequestCode).body;
    return "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Type: application/json\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

class WatchedConnection : public Poco::Net::HTTPServerConnection {
  public:
    WatchedConnection(const Poco::Net::StreamSocket& socket,
                      Poco::Net::HTTPServerParams::Ptr params,
                      Poco::Net::HTTPRequestHandlerFactory::Ptr handlers,
                      ConnectionWatchdog& watchdog, Poco::AutoPtr<ClientShare> share)
        : HTTPServerConnection(socket, params, handlers),
          watchdog_(watchdog),
          share_(std::move(share)),
          client_(share_->claim(socket)) {}

    ~WatchedConnection() override {
        if (client_) share_->ended(*client_);
    }

    void run() override {
        ConnectionWatchdog::Watch watch(watchdog_, socket().impl()->sockfd());
        if (watch.socket() < 0) {
            // Unwatched, it could hold its worker for as long as the client likes.
            Log()->error("Connection closed unserved: cannot watch it (errno {});", errno);
            return;
        }
        try {
            HTTPServerConnection::run();
        } catch (const Poco::SyntaxException& e) {
            // A Content-Length that is not a number: the body's end is unknown, so the
            // connection cannot carry another request. The library has closed its descriptor
            // by now; the watch's duplicate still reaches the client.
            Log()->warn("Request refused, unreadable Content-Length: {};", e.displayText());
            refuse(watch.socket());
        } catch (const Poco::Exception& e) {
            // Timeouts, resets and connections the watchdog shut: the client is gone.
            Log()->debug("Connection ended: {};", e.displayText());
        }
    }

  private:
    static void refuse(int socket) {
        if (socket < 0) return;
        static const std::string answer = unreadableLengthAnswer();
        if (::send(socket, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) {
            Log()->debug("Refusal not delivered: errno {};", errno);
        }
        closeAfterAnswer(socket);
    }

    ConnectionWatchdog& watchdog_;
    Poco::AutoPtr<ClientShare> share_;
    const std::optional<std::string> client_;
};

}  // namespace

void closeAfterAnswer(int socket) {
    ::shutdown(socket, SHUT_WR);
    const auto until = std::chrono::steady_clock::now() + kDrainTime;
    std::string sink(64 * 1024, '\0');
    std::uint64_t drained = 0;
    while (drained < kDrainBytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd ready{socket, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t got = ::recv(socket, sink.data(), sink.size(), 0);
        if (got <= 0) break;
        drained += static_cast<std::uint64_t>(got);
    }
}

LocalApiConnections::LocalApiConnections(Poco::Net::HTTPServerParams::Ptr params,
                                         Poco::SharedPtr<StoppableHandlerFactory> handlers,
                                         ConnectionWatchdog& watchdog,
                                         Poco::AutoPtr<ClientShare> share)
    : params_(std::move(params)),
      handlers_(std::move(handlers)),
      watchdog_(watchdog),
      share_(std::move(share)) {}

Poco::Net::TCPServerConnection* LocalApiConnections::createConnection(
    const Poco::Net::StreamSocket& socket) {
    return new WatchedConnection(socket, params_, handlers_, watchdog_, share_);
}

void LocalApiConnections::stopAll() {
    handlers_->stopConnections();
}

}  // namespace korvane::Engine::LocalApi
