#include "local_api_connections.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPServerConnection.h>
#include <Poco/Net/StreamSocket.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "logger.h"

namespace korvane::Engine::Test {

namespace {

// How long a refused client is given to stop sending before its connection closes.
constexpr std::chrono::seconds kDrainTime{2};
constexpr std::uint64_t kDrainBytes = 16 << 20;

// The answer the HTTP library cannot give itself: it fails while reading the head, before any
// response object exists.
constexpr std::string_view kUnreadableLength =
    "HTTP/1.1 400 Bad Request\r\n"
    "Connection: close\r\n"
    "Content-Type: application/json\r\n"
    "Content-Length: 26\r\n"
    "\r\n"
    R"({"code":-6200,"data":null})";

class WatchedConnection : public Poco::Net::HTTPServerConnection {
  public:
    WatchedConnection(const Poco::Net::StreamSocket& socket,
                      Poco::Net::HTTPServerParams::Ptr params,
                      Poco::Net::HTTPRequestHandlerFactory::Ptr handlers,
                      ConnectionWatchdog& watchdog)
        : HTTPServerConnection(socket, params, handlers), watchdog_(watchdog) {}

    void run() override {
        ConnectionWatchdog::Watch watch(watchdog_, socket().impl()->sockfd());
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
        if (::send(socket, kUnreadableLength.data(), kUnreadableLength.size(), MSG_NOSIGNAL) < 0) {
            Log()->debug("Refusal not delivered: errno {};", errno);
        }
        closeAfterAnswer(socket);
    }

    ConnectionWatchdog& watchdog_;
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
                                         ConnectionWatchdog& watchdog)
    : params_(std::move(params)), handlers_(std::move(handlers)), watchdog_(watchdog) {}

Poco::Net::TCPServerConnection* LocalApiConnections::createConnection(
    const Poco::Net::StreamSocket& socket) {
    return new WatchedConnection(socket, params_, handlers_, watchdog_);
}

void LocalApiConnections::stopAll() {
    handlers_->stopConnections();
}

}  // namespace korvane::Engine::Test
