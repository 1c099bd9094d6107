#include "traffic_counter.h"

#include <chrono>
#include <map>

namespace korvane::MonitoringSim {
namespace {

using Kind = MonitoringSimulator::TrafficKind;

// A day of rows is a few megabytes at most, and longer runs read the counts as they go.
constexpr std::size_t kKeptSeconds = 86400;

std::int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

MonitoringSimulator::TrafficKind TrafficCounter::kindOf(const std::string& method,
                                                        const std::string& route) {
    static const std::map<std::string, Kind> kinds = {
        {Routes::kToken, Kind::Token},         {Routes::kRecognition, Kind::Recognition},
        {Routes::kTelemetry, Kind::Telemetry}, {Routes::kTask, Kind::Task},
        {Routes::kTaskConfirm, Kind::Task},    {Routes::kTaskError, Kind::Task},
        {Routes::kTaskReject, Kind::Task},     {Routes::kState, Kind::State},
        {Routes::kAlarm, Kind::Alarm},         {Routes::kAlert, Kind::Alert},
    };
    // GET .../attributes is a directory read; the device's own reports are POSTed.
    if (route == Routes::kAttributes && method == "POST") return Kind::Attributes;
    const auto found = kinds.find(route);
    return found == kinds.end() ? Kind::Other : found->second;
}

void TrafficCounter::count(Kind kind) {
    const std::int64_t now = unixNow();
    std::lock_guard lock(mutex_);
    // The wall clock may step back; such a request joins the newest row instead of reordering.
    if (seconds_.empty() || seconds_.back().unixSecond < now) {
        seconds_.push_back(Second{now, {}});
        if (seconds_.size() > kKeptSeconds) seconds_.pop_front();
    }
    ++seconds_.back().counts[static_cast<std::size_t>(kind)];
}

std::vector<TrafficCounter::Second> TrafficCounter::since(std::int64_t unixSecond) const {
    std::lock_guard lock(mutex_);
    std::vector<Second> rows;
    for (const auto& row : seconds_) {
        if (row.unixSecond >= unixSecond) rows.push_back(row);
    }
    return rows;
}

void TrafficCounter::clear() {
    std::lock_guard lock(mutex_);
    seconds_.clear();
}

}  // namespace korvane::MonitoringSim
