#pragma once
// Strict reading of the camera's JSON answers: a member that is missing or of another JSON
// type than expected is an error (std::runtime_error naming the member), never a default.
// Integers must be JSON integers, texts JSON strings, fractions JSON numbers with a fraction
// or exponent. Stateless; safe from any thread.

#include <boost/json.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::Utils::Json {

// Throws unless value is an object; `what` names it in the error.
const boost::json::object& asObject(const boost::json::value& value, std::string_view what);
std::string asString(const boost::json::value& value, std::string_view what);

const boost::json::object& objectMember(const boost::json::object& object, std::string_view key);
const boost::json::array& arrayMember(const boost::json::object& object, std::string_view key);
std::int64_t int64Member(const boost::json::object& object, std::string_view key);
// A JSON integer that also fits an int.
int intMember(const boost::json::object& object, std::string_view key);
std::string stringMember(const boost::json::object& object, std::string_view key);
bool boolMember(const boost::json::object& object, std::string_view key);
double doubleMember(const boost::json::object& object, std::string_view key);
// Absent member: empty. A present member must have the expected type (null included).
std::optional<std::string> optionalString(const boost::json::object& object, std::string_view key);
std::optional<bool> optionalBool(const boost::json::object& object, std::string_view key);

// What to log about a list member that is null (info; empty: nothing) or neither null nor an
// array (error, then the read throws).
struct ListLines {
    std::string onNull;
    std::string onWrongType;
};

// The member as an array, or nullptr when it is JSON null. Throws when it is missing.
const boost::json::array* arrayOrNull(const boost::json::object& object, std::string_view key,
                                      const ListLines& lines);

// The member read element by element with `read(const boost::json::value&) -> T`; JSON null
// gives an empty list.
template <class T, class Read>
std::vector<T> listMember(const boost::json::object& object, std::string_view key,
                          const ListLines& lines, Read read) {
    std::vector<T> result;
    if (const auto* array = arrayOrNull(object, key, lines)) {
        result.reserve(array->size());
        for (const auto& element : *array) {
            result.push_back(read(element));
        }
    }
    return result;
}

}  // namespace korvane::Utils::Json
