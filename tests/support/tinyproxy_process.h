#pragma once
// Debian's tinyproxy run in the foreground as a child process on a free loopback port, with
// basic authentication and its own log, for tests that send the Agent's traffic through a
// store's proxy and read from that log what it forwarded. One per test, used from the test's
// thread; stopped with the object.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace korvane::Testing {

class ChildProcess;

class TinyproxyProcess {
  public:
    // workDir receives its configuration and log. Throws unless it listens within 10 s.
    TinyproxyProcess(const std::string& workDir, const std::string& user,
                     const std::string& password);
    ~TinyproxyProcess();

    std::uint16_t port() const { return port_; }
    std::string log() const;
    // The requests for 127.0.0.1:port it was asked to forward, one log line each: CONNECT for
    // a tunnel, the absolute form for plain HTTP.
    std::size_t requestsTo(std::uint16_t port) const;

  private:
    std::string logFile_;
    std::uint16_t port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace korvane::Testing
