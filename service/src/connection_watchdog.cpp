#include "connection_watchdog.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvane::Engine::LocalApi {

namespace {

constexpr std::chrono::milliseconds kCheckInterval{200};

struct CurrentWatch {
    ConnectionWatchdog* watchdog = nullptr;
    std::uint64_t id = 0;
};

// The connection a worker thread serves: the HTTP library runs a connection's requests on the
// thread that accepted it into the pool, so the handler finds its Watch here.
thread_local CurrentWatch current;

}  // namespace

ConnectionWatchdog::ConnectionWatchdog(Clock::duration stepLimit, Clock::duration idleLimit)
    : stepLimit_(stepLimit), idleLimit_(idleLimit), thread_([this] { run(); }) {}

ConnectionWatchdog::~ConnectionWatchdog() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

ConnectionWatchdog::Watch::Watch(ConnectionWatchdog& watchdog, int socket)
    : watchdog_(watchdog),
      socket_(::fcntl(socket, F_DUPFD_CLOEXEC, 0)),
      id_(watchdog.add(socket_)) {
    current = {&watchdog_, id_};
}

ConnectionWatchdog::Watch::~Watch() {
    current = {};
    watchdog_.remove(id_);
    if (socket_ >= 0) ::close(socket_);
}

void ConnectionWatchdog::stepStarted() {
    if (current.watchdog) expectBy(Clock::now() + current.watchdog->stepLimit_);
}

void ConnectionWatchdog::expectBy(Clock::time_point deadline) {
    if (current.watchdog) current.watchdog->setDeadline(current.id, deadline);
}

void ConnectionWatchdog::serving() {
    if (current.watchdog) current.watchdog->setDeadline(current.id, std::nullopt);
}

void ConnectionWatchdog::answered() {
    if (current.watchdog) expectBy(Clock::now() + current.watchdog->idleLimit_);
}

void ConnectionWatchdog::shutdownAll() {
    std::lock_guard lock(mutex_);
    shuttingAll_ = true;
    for (auto& [id, entry] : entries_) {
        if (entry.socket >= 0) ::shutdown(entry.socket, SHUT_RDWR);
    }
}

std::uint64_t ConnectionWatchdog::add(int socket) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = nextId_++;
    entries_[id] = Entry{socket, Clock::now() + stepLimit_};
    if (shuttingAll_ && socket >= 0) ::shutdown(socket, SHUT_RDWR);
    return id;
}

void ConnectionWatchdog::remove(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    entries_.erase(id);
}

void ConnectionWatchdog::setDeadline(std::uint64_t id, std::optional<Clock::time_point> deadline) {
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(id); it != entries_.end()) it->second.deadline = deadline;
}

void ConnectionWatchdog::run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, kCheckInterval, [this] { return stopping_; })) {
        const auto now = Clock::now();
        for (auto& [id, entry] : entries_) {
            if (!entry.deadline || *entry.deadline > now || entry.socket < 0) continue;
            // Shutting down wakes the worker blocked in its read or write; the worker then ends
            // the connection and closes the socket itself.
            ::shutdown(entry.socket, SHUT_RDWR);
            entry.deadline.reset();
        }
    }
}

}  // namespace korvane::Engine::LocalApi
