#include "answer_script.h"

namespace korvane::MonitoringSim {

void AnswerScript::append(const std::string& method, const std::string& route, Answer answer) {
    std::lock_guard lock(mutex_);
    entries_[{method, route}].queue.push_back(std::move(answer));
}

void AnswerScript::setSticky(const std::string& method, const std::string& route, Answer answer) {
    std::lock_guard lock(mutex_);
    entries_[{method, route}].sticky = std::move(answer);
}

void AnswerScript::clear(const std::string& method, const std::string& route) {
    std::lock_guard lock(mutex_);
    entries_.erase({method, route});
}

void AnswerScript::clearAll() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    down_ = false;
}

std::optional<AnswerScript::Answer> AnswerScript::takeFrom(const std::string& method,
                                                           const std::string& route) {
    const auto found = entries_.find({method, route});
    if (found == entries_.end()) return std::nullopt;
    Entry& entry = found->second;
    if (!entry.queue.empty()) {
        Answer answer = std::move(entry.queue.front());
        entry.queue.pop_front();
        return answer;
    }
    return entry.sticky;
}

std::optional<AnswerScript::Answer> AnswerScript::take(const std::string& method,
                                                       const std::string& route) {
    std::lock_guard lock(mutex_);
    if (entries_.empty()) return std::nullopt;
    if (!route.empty()) {
        if (auto answer = takeFrom(method, route)) return answer;
    }
    if (auto answer = takeFrom(method, Routes::kAny)) return answer;
    if (!route.empty()) {
        if (auto answer = takeFrom(Routes::kAny, route)) return answer;
    }
    return takeFrom(Routes::kAny, Routes::kAny);
}

void AnswerScript::setDown(bool down) {
    std::lock_guard lock(mutex_);
    down_ = down;
}

bool AnswerScript::isDown() const {
    std::lock_guard lock(mutex_);
    return down_;
}

void AnswerScript::pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, delay, [this] { return stopping_; });
}

void AnswerScript::shutdown() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

void AnswerScript::resume() {
    std::lock_guard lock(mutex_);
    stopping_ = false;
}

}  // namespace korvane::MonitoringSim
