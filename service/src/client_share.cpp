#include "client_share.h"

#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <chrono>
#include <set>

#include "logger.h"

namespace korvane::Engine::LocalApi {

namespace {

// A crowd of refused connections must not flood the log.
constexpr std::int64_t kRefusalLogEverySeconds = 10;

std::mutex selfCheckMutex;
std::multiset<std::uint16_t> selfCheckPorts;  // guarded by selfCheckMutex

// The self-check connects from this machine: from loopback, or from the address it connects to.
bool fromSelfCheck(const Poco::Net::SocketAddress& peer, const Poco::Net::SocketAddress& local) {
    if (!peer.host().isLoopback() && peer.host() != local.host()) return false;
    std::lock_guard lock(selfCheckMutex);
    return selfCheckPorts.contains(peer.port());
}

std::int64_t steadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

ClientShare::ClientShare(std::size_t perClient, std::size_t total)
    : perClient_(perClient), total_(total) {}

bool ClientShare::accept(const Poco::Net::StreamSocket& socket) {
    Poco::Net::SocketAddress peer;
    Poco::Net::SocketAddress local;
    try {
        peer = socket.peerAddress();
        local = socket.address();
    } catch (const Poco::Exception& e) {
        // Gone before it could be looked at: nothing to serve.
        Log()->debug("Connection dropped on accept: {};", e.displayText());
        return false;
    }
    if (fromSelfCheck(peer, local)) return true;
    const std::string address = peer.host().toString();
    std::lock_guard lock(mutex_);
    std::size_t& mine = open_[address];
    if (mine >= perClient_ || openTotal_ >= total_) {
        logRefusal(address, mine >= perClient_);
        if (mine == 0) open_.erase(address);
        return false;
    }
    ++mine;
    ++openTotal_;
    unclaimed_[socket.impl()] = address;
    return true;
}

std::optional<std::string> ClientShare::claim(const Poco::Net::StreamSocket& socket) {
    std::lock_guard lock(mutex_);
    auto it = unclaimed_.find(socket.impl());
    if (it == unclaimed_.end()) return std::nullopt;
    std::string address = std::move(it->second);
    unclaimed_.erase(it);
    return address;
}

void ClientShare::ended(const std::string& address) {
    std::lock_guard lock(mutex_);
    auto it = open_.find(address);
    if (it == open_.end()) return;
    if (--it->second == 0) open_.erase(it);
    if (openTotal_ > 0) --openTotal_;
}

void ClientShare::addSelfCheckPort(std::uint16_t port) {
    std::lock_guard lock(selfCheckMutex);
    selfCheckPorts.insert(port);
}

void ClientShare::removeSelfCheckPort(std::uint16_t port) {
    std::lock_guard lock(selfCheckMutex);
    if (auto it = selfCheckPorts.find(port); it != selfCheckPorts.end()) selfCheckPorts.erase(it);
}

void ClientShare::logRefusal(const std::string& address, bool ownShare) {
    ++refusedSinceLog_;
    const std::int64_t now = steadySeconds();
    if (now - lastRefusalLog_ < kRefusalLogEverySeconds) return;
    if (ownShare) {
        Log()->warn(
            "Connection from {} refused: it holds {} connections already ({} refused "
            "lately);",
            address, perClient_, refusedSinceLog_);
    } else {
        Log()->warn(
            "Connection from {} refused: {} connections open, the most served at once "
            "({} refused lately);",
            address, total_, refusedSinceLog_);
    }
    lastRefusalLog_ = now;
    refusedSinceLog_ = 0;
}

}  // namespace korvane::Engine::LocalApi
