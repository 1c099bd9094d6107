#include "responses.h"

#include <Poco/JSON/JSONException.h>
#include <Poco/JSON/Parser.h>

#include <sstream>

#include "invalid_request.h"

namespace korvane::Utils {

Poco::JSON::Object::Ptr get_empty_response(int code) {
    return make_response(code, {});
}

Poco::JSON::Object::Ptr make_response(int code, const Poco::Dynamic::Var& data) {
    Poco::JSON::Object::Ptr envelope = new Poco::JSON::Object;
    envelope->set("code", code);
    envelope->set("data", data);
    return envelope;
}

std::string toJsonText(const Poco::JSON::Object::Ptr& object) {
    std::ostringstream out;
    object->stringify(out);
    return out.str();
}

Poco::JSON::Object::Ptr parseJsonObject(const std::string& body) {
    Poco::Dynamic::Var parsed;
    try {
        parsed = Poco::JSON::Parser().parse(body);
    } catch (const Poco::Exception& e) {
        throw InvalidRequest("body is not JSON: " + e.message());
    }
    if (parsed.type() != typeid(Poco::JSON::Object::Ptr)) {
        throw InvalidRequest("body is not a JSON object");
    }
    return parsed.extract<Poco::JSON::Object::Ptr>();
}

}  // namespace korvane::Utils
