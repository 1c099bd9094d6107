#pragma once
// A client's JSON request body as the camera command handlers read it into request records:
// every read names its member, and a member that is missing or does not convert to the record's
// type throws InvalidRequest. Lives on the request's thread only.

#include <Poco/JSON/Object.h>

#include <optional>
#include <string>
#include <vector>

namespace korvane::Utils {

class RequestBody {
  public:
    // Throws InvalidRequest when there is no body object. `context` names where a nested
    // object sits (e.g. "top_recognition[0]."), so that errors name the member in full.
    explicit RequestBody(Poco::JSON::Object::Ptr body, std::string context = {});

    // T is int, std::int64_t, double, bool or std::string. Converts as the JSON library does: "7"
    // reads as the int 7, 7 as the text "7"; null, objects and arrays never convert.
    template <class T>
    T required(const std::string& key) const;
    // Empty when the body has no member `key`; a member that is present must convert.
    template <class T>
    std::optional<T> optional(const std::string& key) const;
    // An array of texts; absent means empty.
    std::vector<std::string> list(const std::string& key) const;

  private:
    Poco::JSON::Object::Ptr body_;
    std::string context_;
};

}  // namespace korvane::Utils
