#include "metric_family.h"

#include <algorithm>
#include <functional>

namespace korvane::Utils::Metrics {

void Histogram::observe(std::chrono::nanoseconds elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    const auto bound = std::lower_bound(kBoundsSeconds.begin(), kBoundsSeconds.end(), seconds);
    buckets_[static_cast<std::size_t>(bound - kBoundsSeconds.begin())].fetch_add(
        1, std::memory_order_relaxed);
    const auto nanoseconds = std::max<std::int64_t>(elapsed.count(), 0);
    sumNanoseconds_.fetch_add(static_cast<std::uint64_t>(nanoseconds), std::memory_order_relaxed);
}

std::array<std::uint64_t, Histogram::kBoundsSeconds.size() + 1> Histogram::cumulativeCounts()
    const {
    std::array<std::uint64_t, kBoundsSeconds.size() + 1> counts{};
    std::uint64_t running = 0;
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        running += buckets_[i].load(std::memory_order_relaxed);
        counts[i] = running;
    }
    return counts;
}

double Histogram::sumSeconds() const {
    return static_cast<double>(sumNanoseconds_.load(std::memory_order_relaxed)) / 1e9;
}

bool Histogram::used() const {
    return std::any_of(buckets_.begin(), buckets_.end(), [](const auto& bucket) {
        return bucket.load(std::memory_order_relaxed) != 0;
    });
}

std::size_t hashLabelValues(std::initializer_list<std::string_view> values) {
    std::size_t hash = 0;
    for (std::string_view value : values) {
        hash = hash * 31 + std::hash<std::string_view>{}(value);
    }
    return hash;
}

}  // namespace korvane::Utils::Metrics
