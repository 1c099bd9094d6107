#pragma once
// One HTTP exchange as the REST client received it: status line, headers and the whole body.
// A plain value type that callers copy freely; the client never interprets it.

#include <map>
#include <string>

namespace korvane::Engine::REST {

struct RawResponse {
    int status = 0;
    std::string reason;
    // Every response header; where a name occurs more than once the last value wins.
    std::map<std::string, std::string> headers;
    std::string body;
};

}  // namespace korvane::Engine::REST
