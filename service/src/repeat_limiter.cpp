#include "repeat_limiter.h"

#include <fmt/format.h>

namespace korvane::Engine::Sync {

RepeatLimiter::RepeatLimiter(std::chrono::steady_clock::duration interval) : interval_(interval) {}

std::optional<std::string> RepeatLimiter::admit(const std::string& kind) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    auto [it, first] = kinds_.try_emplace(kind, Kind{now, 0});
    if (first) return std::string();
    Kind& seen = it->second;
    if (now - seen.writtenAt < interval_) {
        ++seen.heldBack;
        return std::nullopt;
    }
    const std::uint64_t heldBack = seen.heldBack;
    seen = Kind{now, 0};
    return heldBack == 0 ? std::string() : fmt::format(" ({} more since the last line)", heldBack);
}

}  // namespace korvane::Engine::Sync
