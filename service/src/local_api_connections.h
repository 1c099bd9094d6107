#pragma once
// Makes the local API's connections: each serves HTTP requests as the HTTP library's own
// connections do, registered with the ConnectionWatchdog for as long as it runs and counted in
// its client's share until it ends, and answers a request whose Content-Length cannot be read
// with 400 and a close instead of dropping it unanswered. Owned by the TCP server it is given
// to; createConnection runs on the server's dispatcher threads, stopAll on the thread that
// stops the server.

#include <Poco/AutoPtr.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/SharedPtr.h>

#include "client_share.h"
#include "connection_watchdog.h"

namespace korvane::Engine::LocalApi {

// A request handler factory whose connections can be told that the server stopped (the HTTP
// library keeps that signal to its own server class).
class StoppableHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
  public:
    void stopConnections() { serverStopped(this, false); }
};

// Ends a connection whose request was answered but not read whole: stops sending, then takes in
// what the client still sends for a moment, so that closing does not reset the connection (and
// destroy the answer) before the client has read it. Never throws.
void closeAfterAnswer(int socket);

class LocalApiConnections : public Poco::Net::TCPServerConnectionFactory {
  public:
    LocalApiConnections(Poco::Net::HTTPServerParams::Ptr params,
                        Poco::SharedPtr<StoppableHandlerFactory> handlers,
                        ConnectionWatchdog& watchdog, Poco::AutoPtr<ClientShare> share);

    Poco::Net::TCPServerConnection* createConnection(
        const Poco::Net::StreamSocket& socket) override;

    // Closes every connection between requests (idle or waiting for a head); a request being
    // served finishes first. Call after the server stopped accepting.
    void stopAll();

  private:
    Poco::Net::HTTPServerParams::Ptr params_;
    Poco::SharedPtr<StoppableHandlerFactory> handlers_;
    ConnectionWatchdog& watchdog_;
    Poco::AutoPtr<ClientShare> share_;
};

}  // namespace korvane::Engine::LocalApi
