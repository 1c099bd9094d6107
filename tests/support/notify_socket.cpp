#include "notify_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <stdexcept>

namespace korvane::Testing {

NotifySocket::NotifySocket(std::string path)
    : path_(std::move(path)), fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd_ < 0 || path_.size() >= sizeof(address.sun_path)) {
        throw std::runtime_error("cannot make a socket at " + path_);
    }
    path_.copy(address.sun_path, path_.size());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd_);
        throw std::runtime_error("cannot bind " + path_);
    }
    // Short receive steps let waitFor keep its deadline.
    timeval step{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &step, sizeof(step));
}

NotifySocket::~NotifySocket() {
    close(fd_);
    unlink(path_.c_str());
}

std::optional<std::string> NotifySocket::waitFor(const std::string& assignment,
                                                 std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        char buffer[4096];
        const ssize_t size = recv(fd_, buffer, sizeof(buffer), 0);
        if (size <= 0) continue;
        std::string message(buffer, static_cast<std::size_t>(size));
        received_ += message + "\n";
        if (("\n" + message + "\n").find("\n" + assignment + "\n") != std::string::npos) {
            return message;
        }
    }
    return std::nullopt;
}

}  // namespace korvane::Testing
