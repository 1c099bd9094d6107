#pragma once
// The local API's response envelope and the one JSON text form every answer is written in:
// compact, members in ascending key order, non-ASCII text unescaped. Stateless.

#include <Poco/JSON/Object.h>

#include <string>

namespace korvane::Utils {

// {"code": code, "data": null}
Poco::JSON::Object::Ptr get_empty_response(int code);
// {"code": code, "data": data}
Poco::JSON::Object::Ptr make_response(int code, const Poco::Dynamic::Var& data);
std::string toJsonText(const Poco::JSON::Object::Ptr& object);

// Parses a request body that must be a JSON object; anything else throws InvalidRequest.
Poco::JSON::Object::Ptr parseJsonObject(const std::string& body);

}  // namespace korvane::Utils
