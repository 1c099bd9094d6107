#pragma once
// Durations of one kind of request collected during a load run, and their percentiles.
// Each load thread fills its own record; the owner merges them once the threads have ended.

#include <chrono>
#include <vector>

namespace korvane::FeedbackLoad {

class LatencyRecord {
  public:
    void add(std::chrono::nanoseconds duration) {
        samples_.push_back(duration);
        sorted_ = false;
    }
    void merge(const LatencyRecord& other);
    std::size_t size() const { return samples_.size(); }
    // Nearest-rank percentile in milliseconds (0 < p <= 100); 0 when nothing was recorded.
    double percentileMs(double p) const;

  private:
    mutable std::vector<std::chrono::nanoseconds> samples_;
    mutable bool sorted_ = false;
};

}  // namespace korvane::FeedbackLoad
