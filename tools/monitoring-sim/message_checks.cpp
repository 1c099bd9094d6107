#include "message_checks.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <initializer_list>

namespace korvane::MonitoringSim {
namespace {

enum class Kind { String, Integer, Number, Boolean, Array, Object, AttributeValue, TelemetryValue };

struct Member {
    const char* name;
    Kind kind;
};

bool hasKind(const boost::json::value& value, Kind kind) {
    switch (kind) {
        case Kind::String:
            return value.is_string();
        case Kind::Integer:
            return value.is_int64() || value.is_uint64();
        case Kind::Number:
            return value.is_number();
        case Kind::Boolean:
            return value.is_bool();
        case Kind::Array:
            return value.is_array();
        case Kind::Object:
            return value.is_object();
        case Kind::AttributeValue:
            return value.is_string() || value.is_int64() || value.is_uint64() || value.is_bool();
        case Kind::TelemetryValue:
            return value.is_string() || value.is_number() || value.is_bool();
    }
    return false;
}

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::String:
            return "a string";
        case Kind::Integer:
            return "an integer";
        case Kind::Number:
            return "a number";
        case Kind::Boolean:
            return "a boolean";
        case Kind::Array:
            return "an array";
        case Kind::Object:
            return "an object";
        case Kind::AttributeValue:
            return "a string, integer or boolean";
        case Kind::TelemetryValue:
            return "a string, number or boolean";
    }
    return "?";
}

// The object must hold every required member with its kind, optional ones only with theirs,
// and nothing else: a misspelt member is a fault of the sender, not an extension.
std::string checkObject(const boost::json::value& value, const std::string& where,
                        std::initializer_list<Member> required,
                        std::initializer_list<Member> optional = {}) {
    if (!value.is_object()) return where + " must be a JSON object";
    const boost::json::object& object = value.get_object();
    for (const Member& member : required) {
        const boost::json::value* found = object.if_contains(member.name);
        if (!found) return where + " lacks \"" + member.name + "\"";
        if (!hasKind(*found, member.kind)) {
            return where + " member \"" + member.name + "\" must be " + kindName(member.kind);
        }
    }
    for (const auto& entry : object) {
        bool known = false;
        for (const auto& list : {required, optional}) {
            for (const Member& member : list) {
                if (entry.key() != member.name) continue;
                known = true;
                if (!hasKind(entry.value(), member.kind)) {
                    return where + " member \"" + member.name + "\" must be " +
                           kindName(member.kind);
                }
            }
        }
        if (!known)
            return where + " has the unexpected member \"" + std::string(entry.key()) + "\"";
    }
    return {};
}

std::string checkKeyValues(const boost::json::value& body, const std::string& what,
                           Kind valueKind) {
    if (!body.is_array()) return what + " must be a JSON array";
    const boost::json::array& items = body.get_array();
    if (items.empty()) return what + " must not be empty";
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::string fault = checkObject(items[i], what + " item " + std::to_string(i),
                                        {{"key", Kind::String}, {"value", valueKind}});
        if (!fault.empty()) return fault;
    }
    return {};
}

}  // namespace

std::string checkAttributes(const boost::json::value& body) {
    return checkKeyValues(body, "attributes", Kind::AttributeValue);
}

std::string checkTelemetry(const boost::json::value& body) {
    return checkKeyValues(body, "telemetry", Kind::TelemetryValue);
}

std::string checkAlarm(const boost::json::value& body) {
    return checkObject(body, "alarm", {{"code", Kind::String}, {"description", Kind::String}});
}

std::string checkRecognition(const boost::json::value& body) {
    std::string fault = checkObject(body, "recognition",
                                    {{"recognition_session", Kind::String},
                                     {"response_time_ms", Kind::Integer},
                                     {"method_of_selection", Kind::String},
                                     {"position_relevance", Kind::String},
                                     {"product_code", Kind::Integer},
                                     {"product_category", Kind::String},
                                     {"product_name", Kind::String},
                                     {"product_weight", Kind::Number},
                                     {"top_recognition", Kind::Array},
                                     {"recognition_image_url", Kind::String},
                                     {"created_at", Kind::String}});
    if (!fault.empty()) return fault;
    const boost::json::array& top = body.at("top_recognition").get_array();
    for (std::size_t i = 0; i < top.size(); ++i) {
        fault = checkObject(top[i], "top_recognition item " + std::to_string(i),
                            {{"product_code", Kind::Integer},
                             {"product_name", Kind::String},
                             {"product_category", Kind::String},
                             {"product_rate", Kind::Number}});
        if (!fault.empty()) return fault;
    }
    return {};
}

std::string checkAlert(const boost::json::value& body) {
    return checkObject(body, "alert",
                       {{"error_code", Kind::Integer},
                        {"description", Kind::String},
                        {"created_at", Kind::String}});
}

std::string checkAutodistribution(const boost::json::value& body) {
    std::string fault = checkObject(body, "autodistribution",
                                    {{"exportType", Kind::String}, {"url", Kind::String}});
    if (!fault.empty()) return fault;
    if (body.at("exportType").get_string() != "s3") {
        return "autodistribution member \"exportType\" must be \"s3\"";
    }
    if (body.at("url").get_string().empty()) return "autodistribution member \"url\" is empty";
    return {};
}

std::string checkTaskAnswer(const std::string& action, const boost::json::value& body) {
    if (action == "confirm") {
        return body.is_object() ? std::string() : "task confirmation must be a JSON object";
    }
    if (action == "error") {
        return checkObject(body, "task error",
                           {{"error", Kind::String}, {"description", Kind::String}},
                           {{"value", Kind::String}});
    }
    return checkObject(body, "task rejection", {{"description", Kind::String}});
}

}  // namespace korvane::MonitoringSim
