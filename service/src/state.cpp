#include "state.h"

namespace korvane {

State& State::getInstance() {
    static State instance;
    return instance;
}

void State::replaceAll(Map values) {
    std::lock_guard lock(mutex_);
    values_ = std::move(values);
}

void State::set(const std::string& key, const Poco::Dynamic::Var& value) {
    std::lock_guard lock(mutex_);
    values_[key] = value;
}

std::optional<Poco::Dynamic::Var> State::get(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return std::optional<Poco::Dynamic::Var>(std::in_place, it->second);
}

void State::need_check_actual(bool value) {
    set("need_check_actual", value);
}

template <typename T>
T State::read(const std::string& key, T fallback) const {
    auto value = get(key);
    return value ? value->convert<T>() : fallback;
}

bool State::sm_enabled() const {
    return read<bool>("source_mode_enabled", false);
}
int State::sm_polling_interval() const {
    return read<int>("source_mode_polling_interval", 300);
}
int State::sm_template_threshold() const {
    return read<int>("source_mode_template_threshold", 10);
}

}  // namespace korvane
