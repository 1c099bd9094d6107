#pragma once
// Polling of a camera job (template export or import, firmware upgrade or restore) until it
// completes, fails, loses the camera or runs out of attempts. Stateless; runs on the calling
// thread, which it blocks between attempts.

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "camera_errors.h"
#include "logger.h"

namespace korvane::Utils {

// The wait between two attempts: waits that long and answers whether to go on (false: the
// waiting was cancelled, the job is given up).
using StatusPause = std::function<bool(std::chrono::milliseconds)>;

// Asks statusFn for (code, record) up to maxAttempts times, intervalMs apart (no pause when 0
// or less; pause, when given, waits instead of sleeping and may cancel). True with the record once
// its status equals success; false on the first "camera lost" code (with the record of the attempt
// before), on a status that isFailure accepts, or when the attempts run out (with the last record).
// Any other code is not a verdict of its own: the record's status decides. Every outcome is logged.
template <typename Status, typename Res>
std::pair<bool, Res> wait_for_status(
    const std::function<std::pair<int, Res>()>& statusFn, Status success,
    const std::function<bool(std::type_identity_t<Status>)>& isFailure,
    const std::function<std::string(std::type_identity_t<Status>)>& toString,
    const std::string& name, int maxAttempts, int intervalMs, const StatusPause& pause = {}) {
    Res last{};
    // The first attempt is made whatever maxAttempts says.
    for (int attempt = 0;;) {
        Log()->info("Checking {} status (attempt #{})...", name, attempt);
        auto [code, res] = statusFn();
        if (code == static_cast<int>(Errors::CameraError::CameraLost)) {
            Log()->error("{} failed: camera lost", name);
            return {false, last};
        }
        last = std::move(res);
        if (last.status == success) {
            Log()->info("{} completed successfully", name);
            return {true, last};
        }
        if (isFailure(last.status)) {
            Log()->error("{} failed with status {}: {}", name, static_cast<int>(last.status),
                         toString(last.status));
            return {false, last};
        }
        if (intervalMs > 0) {
            const std::chrono::milliseconds interval(intervalMs);
            if (!pause) {
                // sleep_for resumes after a signal for the time that is left.
                std::this_thread::sleep_for(interval);
            } else if (!pause(interval)) {
                Log()->error("{} status check cancelled", name);
                return {false, last};
            }
        }
        if (++attempt >= maxAttempts) break;
    }
    Log()->error("{} status check exceeded max attempts ({})", name, maxAttempts);
    return {false, last};
}

}  // namespace korvane::Utils
