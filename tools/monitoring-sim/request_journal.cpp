#include "request_journal.h"

#include <algorithm>

namespace korvane::MonitoringSim {

RequestJournal::RequestJournal(std::size_t limit) : limit_(limit) {}

std::uint64_t RequestJournal::open(Record record) {
    std::lock_guard lock(mutex_);
    record.sequence = nextSequence_++;
    record.status = -1;
    records_.push_back(std::move(record));
    if (records_.size() > limit_) records_.pop_front();
    return records_.back().sequence;
}

void RequestJournal::close(std::uint64_t sequence, int status, const std::string& answerBody) {
    {
        std::lock_guard lock(mutex_);
        // Sequence numbers grow along the deque, so the entry (if still kept) is found by search
        // from the back, where recent requests are.
        const auto found = std::find_if(records_.rbegin(), records_.rend(),
                                        [&](const Record& r) { return r.sequence == sequence; });
        if (found != records_.rend()) {
            found->status = status;
            found->answerBody = answerBody;
        }
    }
    changed_.notify_all();
}

bool RequestJournal::matches(const Record& record, const std::string& method,
                             const std::string& route) {
    return (method == Routes::kAny || record.method == method) &&
           (route == Routes::kAny || record.route == route);
}

std::vector<RequestJournal::Record> RequestJournal::all() const {
    std::lock_guard lock(mutex_);
    return {records_.begin(), records_.end()};
}

std::vector<RequestJournal::Record> RequestJournal::matching(const std::string& method,
                                                             const std::string& route) const {
    std::lock_guard lock(mutex_);
    std::vector<Record> found;
    for (const auto& record : records_) {
        if (matches(record, method, route)) found.push_back(record);
    }
    return found;
}

std::size_t RequestJournal::count(const std::string& method, const std::string& route) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(records_.begin(), records_.end(),
                      [&](const Record& r) { return matches(r, method, route); }));
}

std::size_t RequestJournal::answeredCount(const std::string& method,
                                          const std::string& route) const {
    return static_cast<std::size_t>(
        std::count_if(records_.begin(), records_.end(),
                      [&](const Record& r) { return r.status >= 0 && matches(r, method, route); }));
}

bool RequestJournal::waitForAnswered(const std::string& method, const std::string& route,
                                     std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return answeredCount(method, route) >= count; });
}

void RequestJournal::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

}  // namespace korvane::MonitoringSim
