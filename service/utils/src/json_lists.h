#pragma once
// Lists of texts in the local API's JSON bodies: product ids sent to and received from the
// camera. Stateless; safe from any thread.

#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>

#include <string>
#include <vector>

namespace korvane::Utils {

// One string element per value, in order.
Poco::JSON::Array::Ptr vectorToJsonArray(const std::vector<std::string>& values);
// The member `key` of `object` as texts, in order; numbers become their decimal text. An absent
// member is an empty list. Throws InvalidRequest naming the member when it is not an array or
// holds an element that is not a string, number or bool.
std::vector<std::string> jsonArrayToVector(const Poco::JSON::Object::Ptr& object,
                                           const std::string& key);

}  // namespace korvane::Utils
