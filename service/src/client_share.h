#pragma once
// Shares the local API's worker threads out among its clients: at most a set number of open
// connections per client address, and in all a few less than there are workers, so that one
// host (or a handful) cannot take every worker, and the Agent's own self-check always finds
// one. A connection beyond a share is closed as soon as it is accepted, before a worker takes
// it. accept() runs on the TCP server's acceptor thread; the rest on any thread.

#include <Poco/Net/TCPServer.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace korvane::Engine::LocalApi {

class ClientShare : public Poco::Net::TCPServerConnectionFilter {
  public:
    // perClient: open connections one address may hold; total: open connections of all
    // clients together (the self-check's are not counted).
    ClientShare(std::size_t perClient, std::size_t total);

    // Admits the connection and counts it, or refuses it when its address or everyone has
    // used up the share. The self-check's connections are always admitted.
    bool accept(const Poco::Net::StreamSocket& socket) override;

    // Called once when an admitted connection starts: the client address it is counted under,
    // or nothing when it is not counted (the self-check's). Pass the address to ended() when
    // the connection ends.
    std::optional<std::string> claim(const Poco::Net::StreamSocket& socket);
    void ended(const std::string& address);

    // The self-check announces the local port it connects from before it connects, and takes
    // it back once its answer is in. Any thread.
    static void addSelfCheckPort(std::uint16_t port);
    static void removeSelfCheckPort(std::uint16_t port);

  private:
    void logRefusal(const std::string& address, bool ownShare);

    const std::size_t perClient_;
    const std::size_t total_;
    std::mutex mutex_;
    std::map<std::string, std::size_t> open_;  // guarded by mutex_
    // Admitted connections not yet claimed, by their socket (the same object from the acceptor
    // to the worker). Guarded by mutex_.
    std::map<const void*, std::string> unclaimed_;
    std::size_t openTotal_ = 0;          // guarded by mutex_
    std::int64_t lastRefusalLog_ = 0;    // guarded by mutex_, steady seconds
    std::uint64_t refusedSinceLog_ = 0;  // guarded by mutex_
};

}  // namespace korvane::Engine::LocalApi
