#include "service_backoff.h"

#include <algorithm>
#include <cctype>

#include "service_clock.h"

namespace korvane::Engine::Sync {

namespace {

constexpr std::chrono::milliseconds kPassPause{1000};
// 2^20 s is far past any cap; the shift stops there.
constexpr int kMaxDoublings = 20;

bool isFailureStatus(int status) {
    return status == 429 || status >= 500;
}

}  // namespace

ServiceBackoff::ServiceBackoff(std::chrono::seconds cap)
    : cap_(std::max(cap, std::chrono::seconds(0))), random_(std::random_device{}()) {}

void ServiceBackoff::setCap(std::chrono::seconds cap) {
    std::lock_guard lock(mutex_);
    cap_ = std::max(cap, std::chrono::seconds(0));
}

void ServiceBackoff::answered(int status, const std::string& retryAfter) {
    if (!isFailureStatus(status)) {
        std::lock_guard lock(mutex_);
        failures_ = 0;
        currentWait_ = std::chrono::milliseconds(0);
        return;
    }
    std::optional<std::chrono::seconds> delay;
    if (status == 429 || status == 503) {
        delay = parseRetryAfter(retryAfter, std::chrono::system_clock::now());
    }
    failed(delay);
}

void ServiceBackoff::unreachable() {
    failed(std::nullopt);
}

void ServiceBackoff::failed(std::optional<std::chrono::seconds> retryAfter) {
    std::lock_guard lock(mutex_);
    failedThisPass_ = true;
    if (retryAfter && (!retryAfter_ || *retryAfter > *retryAfter_)) retryAfter_ = retryAfter;
}

bool ServiceBackoff::failing() const {
    std::lock_guard lock(mutex_);
    return cap_.count() > 0 && failedThisPass_;
}

std::chrono::milliseconds ServiceBackoff::takePause() {
    std::lock_guard lock(mutex_);
    const bool failed = failedThisPass_;
    const auto retryAfter = retryAfter_;
    failedThisPass_ = false;
    retryAfter_.reset();
    if (!failed || cap_.count() == 0) return kPassPause;

    failures_ = std::min(failures_ + 1, kMaxDoublings);
    const std::chrono::milliseconds cap = cap_;
    if (retryAfter) {
        currentWait_ = std::min<std::chrono::milliseconds>(*retryAfter, cap);
    } else {
        const std::chrono::milliseconds ceiling =
            std::min<std::chrono::milliseconds>(std::chrono::seconds(1LL << failures_), cap);
        std::uniform_int_distribution<long long> pick(0, ceiling.count());
        currentWait_ = std::chrono::milliseconds(pick(random_));
    }
    return currentWait_;
}

std::chrono::milliseconds ServiceBackoff::currentWait() const {
    std::lock_guard lock(mutex_);
    return currentWait_;
}

std::optional<std::chrono::seconds> ServiceBackoff::parseRetryAfter(
    const std::string& value, std::chrono::system_clock::time_point now) {
    if (value.empty()) return std::nullopt;
    if (std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); })) {
        if (value.size() > 9) return std::chrono::seconds(999999999);
        return std::chrono::seconds(std::stoll(value));
    }
    const auto date = ServiceClock::parseHttpDate(value);
    if (!date) return std::nullopt;
    const auto ahead = std::chrono::duration_cast<std::chrono::seconds>(*date - now);
    return std::max(ahead, std::chrono::seconds(0));
}

}  // namespace korvane::Engine::Sync
