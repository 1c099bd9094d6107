#include "json_reader.h"

#include <limits>
#include <stdexcept>

#include "logger.h"

namespace korvane::Utils::Json {

namespace {

[[noreturn]] void wrongType(std::string_view what, std::string_view expected) {
    throw std::runtime_error("JSON " + std::string(what) + " is not " + std::string(expected));
}

const boost::json::value& member(const boost::json::object& object, std::string_view key) {
    const auto* value = object.if_contains(key);
    if (value == nullptr) {
        throw std::runtime_error("JSON member \"" + std::string(key) + "\" is missing");
    }
    return *value;
}

std::string memberName(std::string_view key) {
    return "member \"" + std::string(key) + "\"";
}

}  // namespace

const boost::json::object& asObject(const boost::json::value& value, std::string_view what) {
    if (!value.is_object()) {
        wrongType(what, "an object");
    }
    return value.get_object();
}

std::string asString(const boost::json::value& value, std::string_view what) {
    if (!value.is_string()) {
        wrongType(what, "a string");
    }
    return std::string(value.get_string());
}

const boost::json::object& objectMember(const boost::json::object& object, std::string_view key) {
    return asObject(member(object, key), memberName(key));
}

const boost::json::array& arrayMember(const boost::json::object& object, std::string_view key) {
    const auto& value = member(object, key);
    if (!value.is_array()) {
        wrongType(memberName(key), "an array");
    }
    return value.get_array();
}

std::int64_t int64Member(const boost::json::object& object, std::string_view key) {
    const auto& value = member(object, key);
    if (!value.is_int64()) {
        wrongType(memberName(key), "a signed 64-bit integer");
    }
    return value.get_int64();
}

int intMember(const boost::json::object& object, std::string_view key) {
    const auto value = int64Member(object, key);
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
        throw std::runtime_error("JSON " + memberName(key) +
                                 " is out of range: " + std::to_string(value));
    }
    return static_cast<int>(value);
}

std::string stringMember(const boost::json::object& object, std::string_view key) {
    const auto& value = member(object, key);
    if (!value.is_string()) {
        wrongType(memberName(key), "a string");
    }
    return std::string(value.get_string());
}

bool boolMember(const boost::json::object& object, std::string_view key) {
    const auto& value = member(object, key);
    if (!value.is_bool()) {
        wrongType(memberName(key), "a bool");
    }
    return value.get_bool();
}

double doubleMember(const boost::json::object& object, std::string_view key) {
    const auto& value = member(object, key);
    if (!value.is_double()) {
        wrongType(memberName(key), "a number with a fraction");
    }
    return value.get_double();
}

std::optional<std::string> optionalString(const boost::json::object& object, std::string_view key) {
    if (!object.contains(key)) {
        return std::nullopt;
    }
    return stringMember(object, key);
}

std::optional<bool> optionalBool(const boost::json::object& object, std::string_view key) {
    if (!object.contains(key)) {
        return std::nullopt;
    }
    return boolMember(object, key);
}

const boost::json::array* arrayOrNull(const boost::json::object& object, std::string_view key,
                                      const ListLines& lines) {
    const auto& value = member(object, key);
    if (value.is_null()) {
        if (!lines.onNull.empty()) {
            Log()->info(lines.onNull);
        }
        return nullptr;
    }
    if (!value.is_array()) {
        if (!lines.onWrongType.empty()) {
            Log()->error(lines.onWrongType);
        }
        wrongType(memberName(key), "an array");
    }
    return &value.get_array();
}

}  // namespace korvane::Utils::Json
