#pragma once
// The Agent's estimate of the remote services' clock. Store PCs keep poor time, while the
// object store refuses a signature more than 15 minutes off its own clock; so the offset
// between this machine's clock and the services' is learnt from the Date header of their
// answers (and from the ServerTime of a refusal for a skewed request), and requests that must
// carry the time are stamped with now() instead of the local clock. The first time the offset
// passes a minute a warning goes to the log, and one line when it is back under. Process-wide;
// every member may be called from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace korvane::Engine::Sync {

class ServiceClock {
  public:
    using Clock = std::chrono::system_clock;

    // An offset of more than this much is worth telling the operator about.
    static constexpr std::chrono::seconds kNoticeableOffset{60};

    static ServiceClock& instance();

    // The Date header (IMF-fixdate) of an answer received at local time receivedAt; a value
    // that is not such a date is ignored.
    void noteDateHeader(const std::string& value, Clock::time_point receivedAt = Clock::now());
    // The service's own time as it reported it at local time receivedAt.
    void noteServiceTime(Clock::time_point serviceTime,
                         Clock::time_point receivedAt = Clock::now());

    // Service time minus local time, 0 until an answer has told otherwise.
    std::chrono::seconds offset() const;
    // The services' idea of now.
    Clock::time_point now() const;

    // Forgets what was learnt (tests).
    void reset();

    // An IMF-fixdate ("Tue, 08 Dec 2026 14:00:01 GMT") as a time point; nullopt otherwise.
    static std::optional<Clock::time_point> parseHttpDate(const std::string& value);

  private:
    ServiceClock() = default;

    std::atomic<std::int64_t> offsetSeconds_{0};
    std::mutex noticeMutex_;  // orders the log lines about the offset
    bool noticed_ = false;    // guarded by noticeMutex_: the warning is out
};

}  // namespace korvane::Engine::Sync
