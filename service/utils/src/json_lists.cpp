#include "json_lists.h"

#include <Poco/Exception.h>

#include "invalid_request.h"

namespace korvane::Utils {

Poco::JSON::Array::Ptr vectorToJsonArray(const std::vector<std::string>& values) {
    Poco::JSON::Array::Ptr array = new Poco::JSON::Array;
    for (const auto& value : values) {
        array->add(value);
    }
    return array;
}

std::vector<std::string> jsonArrayToVector(const Poco::JSON::Object::Ptr& object,
                                           const std::string& key) {
    std::vector<std::string> values;
    if (!object || !object->has(key)) {
        return values;
    }
    const auto array = object->getArray(key);
    if (!array) {
        throw InvalidRequest("member '" + key + "' is not an array");
    }
    values.reserve(array->size());
    for (std::size_t i = 0; i < array->size(); ++i) {
        const auto element = array->get(static_cast<unsigned>(i));
        // The JSON library would happily print nested objects as text; an id list never holds
        // them, so such an element is the client's mistake.
        if (!element.isString() && !element.isNumeric() && !element.isBoolean()) {
            throw InvalidRequest("member '" + key + "' holds an element that is not text");
        }
        values.push_back(element.convert<std::string>());
    }
    return values;
}

}  // namespace korvane::Utils
