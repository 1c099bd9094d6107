// MonitoringDriver's background loop: one pass about every second that keeps the token fresh
// and reports to the monitoring service.
#include "device_data_provider.h"
#include "logger.h"
#include "monitoring_driver.h"

namespace korvane::Engine::Sync {

namespace {

constexpr auto kPassPause = std::chrono::seconds(1);
constexpr long long kSlowStageMs = 7000;

// Runs one stage and warns when it held up the loop.
template <typename Stage>
void timed(const char* name, Stage&& stage) {
    const auto begin = std::chrono::steady_clock::now();
    stage();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - begin)
                             .count();
    if (elapsed > kSlowStageMs) Log()->warn("Slow run in {} ({} ms)!", name, elapsed);
}

}  // namespace

void MonitoringDriver::loop() {
    while (running_) {
        std::unique_lock lock(loopMutex_);
        if (!running_) return;
        try {
            if (!runPass(lock)) {
                running_ = false;
                return;
            }
        } catch (const std::exception& e) {
            // A failure the stages do not handle ends the pass, never the thread.
            Log()->error("Monitoring loop pass failed: {};", e.what());
            pause(lock, kPassPause);
        }
    }
}

void MonitoringDriver::pause(std::unique_lock<std::mutex>& loopLock,
                             std::chrono::milliseconds duration) {
    wake_.wait_for(loopLock, duration, [this] { return !running_; });
}

bool MonitoringDriver::runPass(std::unique_lock<std::mutex>& loopLock) {
    bool tokenReady = false;
    timed("Token check", [&] { tokenReady = refreshTokenIfNeeded(); });
    if (!tokenReady) {
        Log()->info("Monitoring refresh token;");
        pause(loopLock, kPassPause);
        return true;
    }
    if (!running_) return false;
    std::shared_ptr<DeviceDataProvider> data;
    {
        std::lock_guard lock(providersMutex_);
        data = deviceData_.lock();
    }
    if (!data) {
        Log()->error("device_data_provider_ expired, reinit required to continue event loop...");
        return false;
    }
    pause(loopLock, kPassPause);
    return true;
}

}  // namespace korvane::Engine::Sync
