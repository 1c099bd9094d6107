#pragma once
// How long the monitoring loop waits before its next contact with the service. While the
// service answers, a pass follows the last after the usual second. When it cannot be reached or
// answers 5xx or 429, the loop backs off exponentially with full jitter: a random wait between 0
// and min(cap, 1 s x 2^failures), so that a fleet of Agents that lost the service together does
// not come back together. A Retry-After on 429 or 503 is honoured up to the cap; the first
// answer that is not such a failure resets everything. A cap of 0 keeps the fixed second.
// Exchanges are noted from any thread (the loop, and local API requests relayed to the service);
// the loop alone takes its pauses.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>

namespace korvane::Engine::Sync {

class ServiceBackoff {
  public:
    static constexpr std::chrono::seconds kDefaultCap{300};

    explicit ServiceBackoff(std::chrono::seconds cap = kDefaultCap);
    // A new cap from the configuration; 0 switches backing off off.
    void setCap(std::chrono::seconds cap);

    // An answer with this status and Retry-After header value ("" when none).
    void answered(int status, const std::string& retryAfter);
    // No answer at all: refused, timed out, broken off.
    void unreachable();

    // Whether the service failed since the last pause was taken: the pass stops contacting it.
    bool failing() const;
    // The pause after this pass, which starts the next count of failures of a pass.
    std::chrono::milliseconds takePause();
    // The last backoff wait chosen, 0 while the service answers.
    std::chrono::milliseconds currentWait() const;

    // Seconds from a Retry-After value (delta seconds or an HTTP date) as seen at `now`;
    // nullopt when it is neither.
    static std::optional<std::chrono::seconds> parseRetryAfter(
        const std::string& value, std::chrono::system_clock::time_point now);

  private:
    void failed(std::optional<std::chrono::seconds> retryAfter);

    mutable std::mutex mutex_;
    // All guarded by mutex_.
    std::chrono::seconds cap_;
    int failures_ = 0;
    bool failedThisPass_ = false;
    std::optional<std::chrono::seconds> retryAfter_;
    std::chrono::milliseconds currentWait_{0};
    std::mt19937_64 random_;
};

}  // namespace korvane::Engine::Sync
