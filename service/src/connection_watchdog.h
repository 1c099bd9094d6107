#pragma once
// Closes local API connections that hold a worker thread without asking anything: one whose
// request head is not complete in time after it was accepted, or after its previous request
// was answered. The HTTP library's own timeout restarts with every byte received, so a client
// trickling its head would otherwise keep a thread for as long as it likes. Owned by the Server;
// each connection registers on its own worker thread through a Watch for as long as it runs;
// the watchdog's thread only shuts sockets down, it never closes or frees them.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace korvane::Engine::Test {

class ConnectionWatchdog {
  public:
    using Clock = std::chrono::steady_clock;

    // headLimit: from accept to a complete first head; idleLimit: from an answer to the next
    // complete head.
    ConnectionWatchdog(Clock::duration headLimit, Clock::duration idleLimit);
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

        // The duplicate: open until the Watch ends (-1 if it could not be made).
        int socket() const { return socket_; }

      private:
        ConnectionWatchdog& watchdog_;
        int socket_;
        std::uint64_t id_;
    };

    // Called on a connection's thread: a head is complete and its request is being served
    // (no deadline while it runs), or its answer has been written (the idle deadline starts).
    // Nothing happens on a thread without a Watch.
    static void requestStarted();
    static void requestFinished();

  private:
    struct Entry {
        int socket = -1;
        std::optional<Clock::time_point> deadline;  // none while a request is served
    };

    std::uint64_t add(int socket);
    void remove(std::uint64_t id);
    void setDeadline(std::uint64_t id, std::optional<Clock::time_point> deadline);
    void run();

    const Clock::duration headLimit_;
    const Clock::duration idleLimit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::uint64_t, Entry> entries_;  // guarded by mutex_
    std::uint64_t nextId_ = 0;                // guarded by mutex_
    bool stopping_ = false;                   // guarded by mutex_
    std::thread thread_;
};

}  // namespace korvane::Engine::Test
