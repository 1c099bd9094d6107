#include "service_clock.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/DateTimeParser.h>
#include <Poco/Timestamp.h>

#include <cstdlib>

#include "logger.h"

namespace korvane::Engine::Sync {

namespace {

// A Date header has whole seconds and the answer took a moment to arrive: a change of a
// second or two is that, not the clock.
constexpr std::int64_t kJitterSeconds = 2;

}  // namespace

ServiceClock& ServiceClock::instance() {
    static ServiceClock clock;
    return clock;
}

std::optional<ServiceClock::Clock::time_point> ServiceClock::parseHttpDate(
    const std::string& value) {
    Poco::DateTime date;
    int zone = 0;
    // The parser is lenient; only a date in GMT that reads back the same is taken.
    if (value.empty() ||
        !Poco::DateTimeParser::tryParse(Poco::DateTimeFormat::HTTP_FORMAT, value, date, zone) ||
        zone != 0 ||
        Poco::DateTimeFormatter::format(date, Poco::DateTimeFormat::HTTP_FORMAT) != value) {
        return std::nullopt;
    }
    return Clock::from_time_t(date.timestamp().epochTime());
}

void ServiceClock::noteDateHeader(const std::string& value, Clock::time_point receivedAt) {
    if (const auto date = parseHttpDate(value)) noteServiceTime(*date, receivedAt);
}

void ServiceClock::noteServiceTime(Clock::time_point serviceTime, Clock::time_point receivedAt) {
    const std::int64_t seen =
        std::chrono::duration_cast<std::chrono::seconds>(serviceTime - receivedAt).count();
    const std::int64_t known = offsetSeconds_.load();
    if (std::llabs(seen - known) <= kJitterSeconds) return;
    offsetSeconds_.store(seen);

    std::lock_guard lock(noticeMutex_);
    const bool noticeable = std::llabs(seen) > kNoticeableOffset.count();
    if (noticeable && !noticed_) {
        Log()->warn(
            "Clock differs from the monitoring service by {} s; requests are stamped with "
            "the service's time;",
            seen);
    } else if (!noticeable && noticed_) {
        Log()->info("Clock agrees with the monitoring service again (within {} s);", seen);
    }
    noticed_ = noticeable;
}

std::chrono::seconds ServiceClock::offset() const {
    return std::chrono::seconds(offsetSeconds_.load());
}

ServiceClock::Clock::time_point ServiceClock::now() const {
    return Clock::now() + offset();
}

void ServiceClock::reset() {
    offsetSeconds_.store(0);
    std::lock_guard lock(noticeMutex_);
    noticed_ = false;
}

}  // namespace korvane::Engine::Sync
