#pragma once
// One local API exchange as the routing layer sees it: the request read whole, and the reply
// a handler builds before anything is written to the client. Plain values; no Poco types.

#include <string>
#include <utility>
#include <vector>

namespace korvane::Engine::Test {

struct ApiRequest {
    std::string method;
    std::string uri;                                         // exactly as received
    std::vector<std::string> segments;                       // path segments, empty ones dropped
    std::vector<std::pair<std::string, std::string>> query;  // decoded, in request order
    std::string contentType;
    std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
    std::string body;
    // Upload commands: where the body was saved as received (the file is removed once the
    // answer is written); empty for every other request.
    std::string bodyFile;
};

struct ApiReply {
    int status = 200;
    std::string reason;  // empty: the standard reason of the status
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;  // extra response headers
    std::string body;
    bool notFound = false;
    // Whether the connection must close after this answer (a body left unread, or framing
    // that leaves the next request's start in doubt).
    bool close = false;

    static ApiReply json(const std::string& text, int status = 200);
    static ApiReply bytes(std::string body, std::string contentType, int status = 200);
    static ApiReply notFoundReply();
};

}  // namespace korvane::Engine::Test
