#pragma once
// Holds back contacts with a failing remote service for callers that have no loop of their own
// to pause, such as the uploads to the object store: after an answer of 5xx or 429 or no answer
// at all, the next contact waits for the backoff of ServiceBackoff (full jitter up to the cap);
// the first other answer opens the gate again. A cap of 0 never holds anything back. Safe
// from any thread.

#include <chrono>
#include <mutex>

#include "service_backoff.h"

namespace korvane::Engine::Sync {

class ContactGate {
  public:
    explicit ContactGate(std::chrono::seconds cap);

    // How long the next contact has to wait; 0 when it may go now.
    std::chrono::milliseconds remainingWait() const;
    // The outcome of one contact: the status answered, or 0 when there was no answer.
    void noteOutcome(long status);

  private:
    ServiceBackoff backoff_;
    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point notBefore_{};  // guarded by mutex_
};

}  // namespace korvane::Engine::Sync
