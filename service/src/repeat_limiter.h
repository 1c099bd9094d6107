#pragma once
// Lets a failure line that would repeat on every pass of a loop reach the log once a minute:
// the first occurrence is written at once, later ones of the same kind are counted and the
// next line written says how many were held back. Keyed by the line's fixed text, not its
// variable parts. Safe from any thread.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace korvane::Engine::Sync {

class RepeatLimiter {
  public:
    explicit RepeatLimiter(std::chrono::steady_clock::duration interval = std::chrono::minutes(1));

    // Whether a line of this kind is to be written now; when it is, what the line should end
    // with: "" or " (N more since the last line)".
    std::optional<std::string> admit(const std::string& kind);

  private:
    struct Kind {
        std::chrono::steady_clock::time_point writtenAt;
        std::uint64_t heldBack = 0;
    };

    const std::chrono::steady_clock::duration interval_;
    std::mutex mutex_;
    std::unordered_map<std::string, Kind> kinds_;  // guarded by mutex_
};

}  // namespace korvane::Engine::Sync
