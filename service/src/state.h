#pragma once
// Process-wide store of the monitoring loop's source-mode settings and its check-actual flag.
// Written by the monitoring loop and the remote task handlers, read by request threads: every
// access goes through its own mutex, so it may be used from any thread.

#include <Poco/Dynamic/Var.h>

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace korvane {

class State {
  public:
    using Map = std::unordered_map<std::string, Poco::Dynamic::Var>;

    static State& getInstance();

    void replaceAll(Map values);
    void set(const std::string& key, const Poco::Dynamic::Var& value);
    std::optional<Poco::Dynamic::Var> get(const std::string& key) const;

    void need_check_actual(bool value);
    // Readers with their defaults (false, 300, 10) when the key is absent. A present value of
    // another type throws the variant's conversion error.
    bool sm_enabled() const;
    int sm_polling_interval() const;
    int sm_template_threshold() const;

  private:
    State() = default;
    template <typename T>
    T read(const std::string& key, T fallback) const;

    mutable std::mutex mutex_;
    Map values_;
};

}  // namespace korvane
