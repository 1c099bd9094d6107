#include "contact_gate.h"

namespace korvane::Engine::Sync {

ContactGate::ContactGate(std::chrono::seconds cap) : backoff_(cap) {}

std::chrono::milliseconds ContactGate::remainingWait() const {
    std::lock_guard lock(mutex_);
    const auto left = notBefore_ - std::chrono::steady_clock::now();
    return std::max(std::chrono::ceil<std::chrono::milliseconds>(left),
                    std::chrono::milliseconds(0));
}

void ContactGate::noteOutcome(long status) {
    std::lock_guard lock(mutex_);
    if (status == 0) {
        backoff_.unreachable();
    } else {
        backoff_.answered(static_cast<int>(status), "");
    }
    if (!backoff_.failing()) {
        notBefore_ = {};
        return;
    }
    notBefore_ = std::chrono::steady_clock::now() + backoff_.takePause();
}

}  // namespace korvane::Engine::Sync
