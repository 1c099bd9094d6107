#pragma once
// The receiving end of a service manager's notification socket (NOTIFY_SOCKET) for tests: a
// datagram socket bound to a path, one datagram per notification. Used from one thread.

#include <chrono>
#include <optional>
#include <string>

namespace korvane::Testing {

class NotifySocket {
  public:
    // Binds a datagram socket at path; throws std::runtime_error when that fails.
    explicit NotifySocket(std::string path);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // "NOTIFY_SOCKET=<path>", for the environment of the notifying process.
    std::string environmentEntry() const { return "NOTIFY_SOCKET=" + path_; }
    // The next datagram holding the line `assignment` (for example "READY=1"), skipping
    // others, or nullopt when none arrives before the deadline.
    std::optional<std::string> waitFor(const std::string& assignment,
                                       std::chrono::milliseconds deadline);
    // Every datagram received so far, each followed by a line feed.
    const std::string& received() const { return received_; }

  private:
    std::string path_;
    int fd_ = -1;
    std::string received_;
};

}  // namespace korvane::Testing
