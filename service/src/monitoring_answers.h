#pragma once
// Readers of the monitoring service's answers that the token handling and the background loop
// act on: the token answer, a task, the device listing of the id search and the check-actual
// state. Each reads the whole answer before anything is applied, so a malformed answer changes
// nothing. Stateless; safe from any thread.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "models_task.h"
#include "monitoring_driver.h"
#include "source_mode.h"

namespace korvane::Engine::Sync {

// {"access_token","expires_in","refresh_expires_in","refresh_token","scope","session_state",
// "token_type"}, every member required with its type. Throws std::runtime_error naming the
// member, or boost's system_error for text that is not JSON.
TokenSettings parseTokenAnswer(const std::string& body);

// When a token that lives expiresIn seconds from now must be renewed: marginSeconds earlier.
// A lifetime below zero counts as zero and one above ten years as ten years, so that no answer
// can overflow the clock.
std::chrono::system_clock::time_point renewalTime(std::chrono::system_clock::time_point now,
                                                  std::int64_t expiresIn, int marginSeconds);

// {"id":"...","type":"...","data":{...}}. Throws for a missing member or one of another type.
Utils::Models::Task parseTask(const std::string& body);

// The id (its text, or the JSON of a non-string) of the only device in {"data":[{"id":...}]};
// none when "data" is absent, not an array, or does not hold exactly one device. Throws when
// the answer is not a JSON object or its device has no "id".
std::optional<std::string> parseSingleDeviceId(const std::string& body);

// The check-actual answer {"is_source_mode_enabled":bool,"data_source":{"template_threshold",
// "polling_interval"}}; the settings are read only when enabled. Throws for a missing member,
// one of another type, or a number outside the range of int.
struct SourceState {
    bool enabled = false;
    std::optional<SourceModeSettings> settings;
};
SourceState parseSourceState(const std::string& body);

}  // namespace korvane::Engine::Sync
