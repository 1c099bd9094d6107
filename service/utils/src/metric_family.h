#pragma once
// Lock-free counters and latency histograms for the Agent's metrics, alone or in families keyed
// by label values. Counting is a few atomic operations, so the request threads of the local API
// count without ever waiting on a scrape or on each other. A family holds a fixed number of
// label combinations, claimed on first use and never freed; combinations past that share one
// overflow cell whose labels all read "other". Safe from any thread.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::Utils::Metrics {

class Counter {
  public:
    void add(std::uint64_t amount = 1) { value_.fetch_add(amount, std::memory_order_relaxed); }
    std::uint64_t value() const { return value_.load(std::memory_order_relaxed); }
    bool used() const { return value() != 0; }

  private:
    std::atomic<std::uint64_t> value_{0};
};

// Latencies from a millisecond to half a minute: the local API's answers, camera operations.
class Histogram {
  public:
    static constexpr std::array<double, 14> kBoundsSeconds{
        0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};

    void observe(std::chrono::nanoseconds elapsed);

    // Observations at or below each bound (cumulative, as the exposition wants them), then the
    // total count; the sum in seconds.
    std::array<std::uint64_t, kBoundsSeconds.size() + 1> cumulativeCounts() const;
    double sumSeconds() const;
    bool used() const;

  private:
    std::array<std::atomic<std::uint64_t>, kBoundsSeconds.size() + 1> buckets_{};
    std::atomic<std::uint64_t> sumNanoseconds_{0};
};

template <class Cell>
class Family {
  public:
    static constexpr std::size_t kCapacity = 256;

    explicit Family(std::vector<std::string> labelNames) : labelNames_(std::move(labelNames)) {
        overflow_.values.assign(labelNames_.size(), "other");
        overflow_.state.store(kReady);
    }
    Family(const Family&) = delete;
    Family& operator=(const Family&) = delete;

    const std::vector<std::string>& labelNames() const { return labelNames_; }

    // The cell of these label values (one per label name), claimed when first seen.
    Cell& at(std::initializer_list<std::string_view> values);

    // Every claimed cell, in no set order.
    void forEach(
        const std::function<void(const std::vector<std::string>&, const Cell&)>& visit) const;

  private:
    enum : int { kFree = 0, kClaiming = 1, kReady = 2 };
    struct Slot {
        std::atomic<int> state{kFree};
        std::vector<std::string> values;  // written once, before state becomes kReady
        Cell cell;
    };

    static bool sameValues(const Slot& slot, std::initializer_list<std::string_view> values);
    static int awaitClaim(const Slot& slot);

    std::vector<std::string> labelNames_;
    std::array<Slot, kCapacity> slots_;
    Slot overflow_;
};

std::size_t hashLabelValues(std::initializer_list<std::string_view> values);

template <class Cell>
bool Family<Cell>::sameValues(const Slot& slot, std::initializer_list<std::string_view> values) {
    if (slot.values.size() != values.size()) return false;
    auto it = slot.values.begin();
    for (std::string_view value : values) {
        if (*it++ != value) return false;
    }
    return true;
}

template <class Cell>
int Family<Cell>::awaitClaim(const Slot& slot) {
    // A claim only copies a few short strings, so waiting for it is brief.
    int state = slot.state.load(std::memory_order_acquire);
    while (state == kClaiming) {
        slot.state.wait(kClaiming, std::memory_order_acquire);
        state = slot.state.load(std::memory_order_acquire);
    }
    return state;
}

template <class Cell>
Cell& Family<Cell>::at(std::initializer_list<std::string_view> values) {
    if (values.size() != labelNames_.size()) return overflow_.cell;
    const std::size_t start = hashLabelValues(values) % kCapacity;
    for (std::size_t probe = 0; probe < kCapacity; ++probe) {
        Slot& slot = slots_[(start + probe) % kCapacity];
        int state = awaitClaim(slot);
        if (state == kFree) {
            int expected = kFree;
            if (slot.state.compare_exchange_strong(expected, kClaiming,
                                                   std::memory_order_acq_rel)) {
                slot.values.assign(values.begin(), values.end());
                slot.state.store(kReady, std::memory_order_release);
                slot.state.notify_all();
                return slot.cell;
            }
            state = awaitClaim(slot);
        }
        if (sameValues(slot, values)) return slot.cell;
    }
    return overflow_.cell;
}

template <class Cell>
void Family<Cell>::forEach(
    const std::function<void(const std::vector<std::string>&, const Cell&)>& visit) const {
    for (const Slot& slot : slots_) {
        if (slot.state.load(std::memory_order_acquire) == kReady) visit(slot.values, slot.cell);
    }
    // The overflow cell shows only once something landed in it.
    if (overflow_.cell.used()) visit(overflow_.values, overflow_.cell);
}

}  // namespace korvane::Utils::Metrics
