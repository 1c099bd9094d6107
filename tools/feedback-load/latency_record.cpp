#include "latency_record.h"

#include <algorithm>
#include <cmath>

namespace korvane::FeedbackLoad {

void LatencyRecord::merge(const LatencyRecord& other) {
    samples_.insert(samples_.end(), other.samples_.begin(), other.samples_.end());
    sorted_ = false;
}

double LatencyRecord::percentileMs(double p) const {
    if (samples_.empty()) return 0.0;
    if (!sorted_) {
        std::sort(samples_.begin(), samples_.end());
        sorted_ = true;
    }
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * samples_.size()));
    const auto index = std::clamp<std::size_t>(rank, 1, samples_.size()) - 1;
    return std::chrono::duration<double, std::milli>(samples_[index]).count();
}

}  // namespace korvane::FeedbackLoad
