#include "monitoring_answers.h"

#include <algorithm>
#include <boost/json.hpp>
#include <limits>
#include <stdexcept>

namespace korvane::Engine::Sync {

namespace {

const boost::json::value& requiredMember(const boost::json::object& object, const char* name) {
    const auto* value = object.if_contains(name);
    if (value == nullptr) throw std::runtime_error(std::string("Token answer lacks ") + name);
    return *value;
}

std::string requiredString(const boost::json::object& object, const char* name) {
    const auto& value = requiredMember(object, name);
    if (!value.is_string()) {
        throw std::runtime_error(std::string("Token answer member is not a string: ") + name);
    }
    return std::string(value.get_string());
}

std::int64_t requiredInteger(const boost::json::object& object, const char* name) {
    const auto& value = requiredMember(object, name);
    if (value.is_int64()) return value.get_int64();
    if (value.is_uint64() && value.get_uint64() <= std::uint64_t(INT64_MAX)) {
        return static_cast<std::int64_t>(value.get_uint64());
    }
    throw std::runtime_error(std::string("Token answer member is not an integer: ") + name);
}

std::string textOf(const boost::json::value& value) {
    return value.is_string() ? std::string(value.get_string()) : boost::json::serialize(value);
}

// The settings are kept as int; a larger number would wrap and then overflow when the
// interval is turned into milliseconds.
int readInt(const boost::json::object& object, const char* name) {
    const auto number = object.at(name).to_number<std::int64_t>();
    if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max()) {
        throw std::out_of_range(std::string("Out of range: ") + name);
    }
    return static_cast<int>(number);
}

}  // namespace

TokenSettings parseTokenAnswer(const std::string& body) {
    const boost::json::value parsed = boost::json::parse(body);
    if (!parsed.is_object()) throw std::runtime_error("Token answer is not a JSON object");
    const auto& object = parsed.get_object();
    TokenSettings token;
    token.accessToken = requiredString(object, "access_token");
    token.expiresIn = requiredInteger(object, "expires_in");
    token.refreshExpiresIn = requiredInteger(object, "refresh_expires_in");
    token.refreshToken = requiredString(object, "refresh_token");
    token.scope = requiredString(object, "scope");
    token.sessionState = requiredString(object, "session_state");
    token.tokenType = requiredString(object, "token_type");
    return token;
}

std::chrono::system_clock::time_point renewalTime(std::chrono::system_clock::time_point now,
                                                  std::int64_t expiresIn, int marginSeconds) {
    constexpr std::int64_t kLongestLifetime = 10LL * 365 * 24 * 3600;
    const std::int64_t lifetime = std::clamp<std::int64_t>(expiresIn, 0, kLongestLifetime);
    return now + std::chrono::seconds(lifetime - marginSeconds);
}

Utils::Models::Task parseTask(const std::string& body) {
    const auto parsed = boost::json::parse(body);
    const auto& object = parsed.as_object();
    Utils::Models::Task task;
    task.id = std::string(object.at("id").as_string());
    task.type = std::string(object.at("type").as_string());
    task.data = object.at("data").as_object();
    return task;
}

std::optional<std::string> parseSingleDeviceId(const std::string& body) {
    const auto parsed = boost::json::parse(body);
    const auto* devices = parsed.as_object().if_contains("data");
    if (devices == nullptr || !devices->is_array() || devices->get_array().size() != 1) {
        return std::nullopt;
    }
    return textOf(devices->get_array().front().at("id"));
}

SourceState parseSourceState(const std::string& body) {
    const auto parsed = boost::json::parse(body);
    const auto& answer = parsed.as_object();
    SourceState state;
    state.enabled = answer.at("is_source_mode_enabled").as_bool();
    if (state.enabled) {
        const auto& source = answer.at("data_source").as_object();
        state.settings = SourceModeSettings{readInt(source, "template_threshold"),
                                            readInt(source, "polling_interval")};
    }
    return state;
}

}  // namespace korvane::Engine::Sync
