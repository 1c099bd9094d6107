#include "local_api_connections.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPServerConnection.h>
#include <Poco/Net/StreamSocket.h>

#include <string_view>

#include "logger.h"

namespace korvane::Engine::Test {

namespace {

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
            // connection cannot carry another request.
            Log()->warn("Request refused, unreadable Content-Length: {};", e.displayText());
            refuse();
        } catch (const Poco::Exception& e) {
            // Timeouts, resets and connections the watchdog shut: the client is gone.
            Log()->debug("Connection ended: {};", e.displayText());
        }
    }

  private:
    void refuse() {
        try {
            socket().sendBytes(kUnreadableLength.data(),
                               static_cast<int>(kUnreadableLength.size()));
            socket().shutdownSend();
        } catch (const Poco::Exception& e) {
            Log()->debug("Refusal not delivered: {};", e.displayText());
        }
    }

    ConnectionWatchdog& watchdog_;
};

}  // namespace

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
