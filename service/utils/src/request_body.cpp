#include "request_body.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>

#include <cstdint>
#include <utility>

#include "invalid_request.h"
#include "json_lists.h"

namespace korvane::Utils {

namespace {

template <class T>
T convertMember(const Poco::Dynamic::Var& value, const std::string& key) {
    // The library turns objects and arrays into their JSON text; no record member wants that.
    if (value.type() == typeid(Poco::JSON::Object::Ptr) ||
        value.type() == typeid(Poco::JSON::Array::Ptr)) {
        throw InvalidRequest("member '" + key + "' is not a single value");
    }
    try {
        return value.convert<T>();
    } catch (const Poco::Exception& e) {
        throw InvalidRequest("member '" + key + "' does not convert: " + e.displayText());
    }
}

}  // namespace

RequestBody::RequestBody(Poco::JSON::Object::Ptr body, std::string context)
    : body_(std::move(body)), context_(std::move(context)) {
    if (!body_) {
        throw InvalidRequest("body is not a JSON object");
    }
}

template <class T>
T RequestBody::required(const std::string& key) const {
    if (!body_->has(key)) {
        throw InvalidRequest("member '" + context_ + key + "' is missing");
    }
    return convertMember<T>(body_->get(key), context_ + key);
}

template <class T>
std::optional<T> RequestBody::optional(const std::string& key) const {
    if (!body_->has(key)) {
        return std::nullopt;
    }
    return convertMember<T>(body_->get(key), context_ + key);
}

std::vector<std::string> RequestBody::list(const std::string& key) const {
    return jsonArrayToVector(body_, key);
}

template int RequestBody::required<int>(const std::string&) const;
template bool RequestBody::required<bool>(const std::string&) const;
template std::string RequestBody::required<std::string>(const std::string&) const;
template std::optional<std::string> RequestBody::optional<std::string>(const std::string&) const;
template std::optional<std::int64_t> RequestBody::optional<std::int64_t>(const std::string&) const;
template std::optional<double> RequestBody::optional<double>(const std::string&) const;

}  // namespace korvane::Utils
