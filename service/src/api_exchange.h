#pragma once
// One local API exchange as the routing layer sees it: the request read whole, and the reply
// a handler builds before anything is written to the client. Plain values; no Poco types.

#include <string>
#include <utility>
#include <vector>

namespace korvane::Engine::LocalApi {

// The local API's own failures, answered in the envelope {"code":<code>,"data":null}: a request
// that cannot be read or is not allowed, and a request the Agent failed to serve.
inline constexpr int kBadRequestCode = -6200;
inline constexpr int kInternalErrorCode = -6210;

struct ApiRequest {
    std::string method;
    std::string uri;                                         // exactly as received
    std::vector<std::string> segments;                       // path segments, empty ones dropped
    std::vector<std::pair<std::string, std::string>> query;  // decoded, in request order
    std::string contentType;
    std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
    std::string body;
    // Upload commands: an open descriptor of the unlinked file that holds the body as received,
    // from offset 0 (read it with positional reads; it is closed once the answer is written);
    // -1 for every other request.
    int bodyFd = -1;
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
    // The envelope {"code":code,"data":null} with this HTTP status.
    static ApiReply failure(int status, int code);
    // failure(), and the connection closes after it: for a request whose body stays unread.
    static ApiReply refusal(int status, int code);
};

}  // namespace korvane::Engine::LocalApi
