// The simulator's view of one HTTP exchange: the request as received, the reply a command builds,
// and the strict readers that turn a JSON body into typed members the way the camera would check
// them. Plain values and free functions; usable from any thread.
#pragma once

#include <Poco/JSON/Object.h>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::CameraSim {

struct SimRequest {
    std::string method;
    std::string path;     // without the query
    std::string query;    // text after "?", may be empty
    std::string command;  // "get_result" for /api/get_result, "download" for /download/...
    std::string contentType;
    std::string userAgent;
    std::string body;
    // A large upload keeps only its first and last bytes in `body`; this many bytes between
    // them were received and dropped. They belong to the file part.
    std::uint64_t droppedBytes = 0;
};

// A reply either carries a JSON object (serialised when sent, so faults can still alter it) or
// raw bytes with their content type.
struct SimReply {
    int status = 200;
    Poco::JSON::Object::Ptr json;
    std::string contentType;
    std::string body;
    std::map<std::string, std::string> headers;
};

// A camera-side refusal: answered with HTTP 200 and {"code": code, "msg": message}.
class CommandError : public std::runtime_error {
  public:
    CommandError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

// Camera error codes the simulator answers with.
inline constexpr int kParameterError = -6213;
inline constexpr int kJsonParsingFailed = -6200;
inline constexpr int kFileDoesNotExist = -6202;
inline constexpr int kUnknownCommand = -6117;
inline constexpr int kUnknownMistake = -6210;

inline constexpr const char* kJsonContentType = "application/json;charset=utf-8";

// An object that keeps its members in insertion order, so replies read like the camera's.
Poco::JSON::Object::Ptr newObject();

SimReply okReply(const Poco::Dynamic::Var& data = Poco::Dynamic::Var());
SimReply errorReply(int code, const std::string& message);
SimReply jsonReply(int status, Poco::JSON::Object::Ptr object);
SimReply bytesReply(std::string bytes, const std::string& contentType);

// The reply's body as it goes on the wire.
std::string serializeReply(const SimReply& reply);
std::string toJsonText(const Poco::Dynamic::Var& value);

// The body as a JSON object. Not JSON: -6200; JSON but not an object: -6213.
Poco::JSON::Object::Ptr bodyObject(const SimRequest& request);

// Members of a given JSON type; missing or of another type: CommandError -6213.
std::string needString(const Poco::JSON::Object::Ptr& object, const std::string& key);
std::int64_t needInt(const Poco::JSON::Object::Ptr& object, const std::string& key);
std::int64_t needIntIn(const Poco::JSON::Object::Ptr& object, const std::string& key,
                       std::int64_t low, std::int64_t high);
bool needBool(const Poco::JSON::Object::Ptr& object, const std::string& key);
std::optional<std::string> optString(const Poco::JSON::Object::Ptr& object, const std::string& key);
std::vector<std::string> needStringArray(const Poco::JSON::Object::Ptr& object,
                                         const std::string& key);

// Value of a query parameter ("limit" in "limit=5&command=x"), or empty.
std::string queryParam(const std::string& query, const std::string& name);

}  // namespace korvane::CameraSim
