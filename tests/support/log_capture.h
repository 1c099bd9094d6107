#pragma once
// Test helpers around the process logger and the loopback network.

#include <spdlog/sinks/ostream_sink.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

namespace korvane::Testing {

// Collects the process logger's lines while it lives. Create and destroy it only while no
// other thread logs.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::string text();

  private:
    std::ostringstream stream_;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
};

// A port on which nothing listens (bound once, then released).
std::uint16_t closedPort();

}  // namespace korvane::Testing
