// Requests per wall-clock second, split by kind, for load measurements that outlast the request
// journal: one small row per second, the oldest dropped past a day. Owned by the simulator;
// every member may be called from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "monitoring_simulator.h"

namespace korvane::MonitoringSim {

class TrafficCounter {
  public:
    using Second = MonitoringSimulator::TrafficSecond;

    // The kind a request of this method and route pattern is counted under.
    static MonitoringSimulator::TrafficKind kindOf(const std::string& method,
                                                   const std::string& route);

    void count(MonitoringSimulator::TrafficKind kind);
    // The rows from that Unix second on, oldest first; seconds without a request are left out.
    std::vector<Second> since(std::int64_t unixSecond) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::deque<Second> seconds_;
};

}  // namespace korvane::MonitoringSim
