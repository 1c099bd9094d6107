// MonitoringDriver::DeviceDataScheduler: the interval timer of the loop's periodic stages.
#include "monitoring_driver.h"

namespace korvane::Engine::Sync {

namespace {

const auto kProgramStart = std::chrono::steady_clock::now();

}  // namespace

MonitoringDriver::DeviceDataScheduler MonitoringDriver::schedulerTusk_;
MonitoringDriver::DeviceDataScheduler MonitoringDriver::schedulerCheckActual_;
MonitoringDriver::DeviceDataScheduler MonitoringDriver::schedulerSource_;
MonitoringDriver::DeviceDataScheduler MonitoringDriver::schedulerPing_;

MonitoringDriver::DeviceDataScheduler::DeviceDataScheduler(long long intervalMs)
    : interval_(intervalMs), nextRun_(kProgramStart) {}

void MonitoringDriver::DeviceDataScheduler::reset() {
    std::lock_guard lock(mutex_);
    nextRun_ = std::chrono::steady_clock::now();
}

void MonitoringDriver::DeviceDataScheduler::slide() {
    std::lock_guard lock(mutex_);
    nextRun_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_);
}

bool MonitoringDriver::DeviceDataScheduler::shouldRunNow() {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now < nextRun_) return false;
    const auto interval = std::chrono::milliseconds(interval_);
    // Missed runs are not caught up: the next one is at least a whole interval away.
    nextRun_ = nextRun_ + interval > now ? nextRun_ + interval : now + interval;
    return true;
}

void MonitoringDriver::DeviceDataScheduler::setInterval(long long intervalMs) {
    std::lock_guard lock(mutex_);
    interval_ = intervalMs;
}

long long MonitoringDriver::DeviceDataScheduler::interval() const {
    std::lock_guard lock(mutex_);
    return interval_;
}

std::chrono::steady_clock::time_point MonitoringDriver::DeviceDataScheduler::nextRun() const {
    std::lock_guard lock(mutex_);
    return nextRun_;
}

}  // namespace korvane::Engine::Sync
