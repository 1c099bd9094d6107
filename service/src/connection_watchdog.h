#pragma once
// Closes local API connections that hold a worker thread longer than an exchange may take: a
// request head or a JSON body that is not complete in time, an upload that falls below its
// pace, an answer the client does not read, a keep-alive connection idle for too long. The HTTP
// library's own timeout restarts with every byte, so a client trickling its request would
// otherwise keep a thread for as long as it likes. Owned by the Server; each connection
// registers on its own worker thread through a Watch for as long as it runs, and sets its
// deadlines through the static members on that thread; the watchdog's thread only shuts sockets
// down, it never closes or frees them.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace korvane::Engine::LocalApi {

class ConnectionWatchdog {
  public:
    using Clock = std::chrono::steady_clock;

    // stepLimit: from accept to a complete first head, from a head to its whole JSON body, and
    // from the start of an answer to its last byte; idleLimit: from an answer to the next head.
    ConnectionWatchdog(Clock::duration stepLimit, Clock::duration idleLimit);
    ~ConnectionWatchdog();
    ConnectionWatchdog(const ConnectionWatchdog&) = delete;
    ConnectionWatchdog& operator=(const ConnectionWatchdog&) = delete;

    // Registers the connection running on this thread until destroyed. It holds a duplicate
    // descriptor of the socket, so that the number the watchdog acts on cannot be reused by
    // another connection while it is listed, whenever the HTTP library closes its own.
    class Watch {
      public:
        Watch(ConnectionWatchdog& watchdog, int socket);
        ~Watch();
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;

        // The duplicate: open until the Watch ends; -1 when it could not be made (no
        // descriptor left), and then the connection must not be served.
        int socket() const { return socket_; }

      private:
        ConnectionWatchdog& watchdog_;
        int socket_;
        std::uint64_t id_;
    };

    // Called on a connection's thread; nothing happens on a thread without a Watch.
    // The next step (a body or an answer) must be done within the step limit from now.
    static void stepStarted();
    // The connection is shut at this time unless a later call moves it.
    static void expectBy(Clock::time_point deadline);
    // The Agent itself is working on the request: no deadline.
    static void serving();
    // The answer has been written: the idle deadline starts.
    static void answered();

    // Shuts every listed connection down now, and every connection listed from now on at once.
    // For the server's stop: no worker is left waiting for a client.
    void shutdownAll();

  private:
    struct Entry {
        int socket = -1;
        std::optional<Clock::time_point> deadline;  // none while a request is served
    };

    std::uint64_t add(int socket);
    void remove(std::uint64_t id);
    void setDeadline(std::uint64_t id, std::optional<Clock::time_point> deadline);
    void run();

    const Clock::duration stepLimit_;
    const Clock::duration idleLimit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::uint64_t, Entry> entries_;  // guarded by mutex_
    std::uint64_t nextId_ = 0;                // guarded by mutex_
    bool stopping_ = false;                   // guarded by mutex_
    bool shuttingAll_ = false;                // guarded by mutex_
    std::thread thread_;
};

}  // namespace korvane::Engine::LocalApi
