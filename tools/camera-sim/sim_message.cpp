#include "sim_message.h"

#include <Poco/JSON/Array.h>
#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>
#include <Poco/URI.h>

#include <sstream>

namespace korvane::CameraSim {
namespace {

CommandError badMember(const std::string& key, const char* expected) {
    return CommandError(kParameterError, "Parameter error: \"" + key + "\" must be " + expected);
}

Poco::Dynamic::Var member(const Poco::JSON::Object::Ptr& object, const std::string& key,
                          const char* expected) {
    if (!object->has(key)) throw badMember(key, expected);
    return object->get(key);
}

}  // namespace

Poco::JSON::Object::Ptr newObject() {
    return new Poco::JSON::Object(Poco::JSON_PRESERVE_KEY_ORDER);
}

SimReply okReply(const Poco::Dynamic::Var& data) {
    Poco::JSON::Object::Ptr object = newObject();
    object->set("code", 0);
    object->set("msg", "success");
    object->set("data", data);
    return jsonReply(200, object);
}

SimReply errorReply(int code, const std::string& message) {
    Poco::JSON::Object::Ptr object = newObject();
    object->set("code", code);
    object->set("msg", message);
    object->set("data", Poco::Dynamic::Var());
    return jsonReply(200, object);
}

SimReply jsonReply(int status, Poco::JSON::Object::Ptr object) {
    SimReply reply;
    reply.status = status;
    reply.json = std::move(object);
    reply.contentType = kJsonContentType;
    return reply;
}

SimReply bytesReply(std::string bytes, const std::string& contentType) {
    SimReply reply;
    reply.body = std::move(bytes);
    reply.contentType = contentType;
    return reply;
}

std::string toJsonText(const Poco::Dynamic::Var& value) {
    std::ostringstream out;
    Poco::JSON::Stringifier::condense(value, out);
    return out.str();
}

std::string serializeReply(const SimReply& reply) {
    return reply.json ? toJsonText(reply.json) : reply.body;
}

Poco::JSON::Object::Ptr bodyObject(const SimRequest& request) {
    Poco::Dynamic::Var parsed;
    try {
        Poco::JSON::Parser parser;
        parsed = parser.parse(request.body);
    } catch (const Poco::Exception&) {
        throw CommandError(kJsonParsingFailed, "Json parsing failed");
    }
    if (parsed.type() != typeid(Poco::JSON::Object::Ptr)) {
        throw CommandError(kParameterError, "Parameter error: body must be a JSON object");
    }
    return parsed.extract<Poco::JSON::Object::Ptr>();
}

std::string needString(const Poco::JSON::Object::Ptr& object, const std::string& key) {
    const auto value = member(object, key, "a string");
    if (!value.isString()) throw badMember(key, "a string");
    return value.extract<std::string>();
}

std::int64_t needInt(const Poco::JSON::Object::Ptr& object, const std::string& key) {
    const auto value = member(object, key, "an integer");
    if (!value.isInteger() || value.isBoolean()) throw badMember(key, "an integer");
    return value.convert<std::int64_t>();
}

std::int64_t needIntIn(const Poco::JSON::Object::Ptr& object, const std::string& key,
                       std::int64_t low, std::int64_t high) {
    const std::int64_t value = needInt(object, key);
    if (value < low || value > high) {
        throw CommandError(kParameterError, "Parameter error: \"" + key + "\" out of range [" +
                                                std::to_string(low) + ", " + std::to_string(high) +
                                                "]");
    }
    return value;
}

bool needBool(const Poco::JSON::Object::Ptr& object, const std::string& key) {
    const auto value = member(object, key, "a boolean");
    if (!value.isBoolean()) throw badMember(key, "a boolean");
    return value.extract<bool>();
}

std::optional<std::string> optString(const Poco::JSON::Object::Ptr& object,
                                     const std::string& key) {
    if (!object->has(key)) return std::nullopt;
    return needString(object, key);
}

std::vector<std::string> needStringArray(const Poco::JSON::Object::Ptr& object,
                                         const std::string& key) {
    Poco::JSON::Array::Ptr array = object->has(key) ? object->getArray(key) : nullptr;
    if (!array) throw badMember(key, "an array of strings");
    std::vector<std::string> values;
    for (std::size_t i = 0; i < array->size(); ++i) {
        const auto element = array->get(static_cast<unsigned>(i));
        if (!element.isString()) throw badMember(key, "an array of strings");
        values.push_back(element.extract<std::string>());
    }
    return values;
}

std::string queryParam(const std::string& query, const std::string& name) {
    if (query.empty()) return {};
    const Poco::URI uri("/?" + query);
    for (const auto& [key, value] : uri.getQueryParameters()) {
        if (key == name) return value;
    }
    return {};
}

}  // namespace korvane::CameraSim
