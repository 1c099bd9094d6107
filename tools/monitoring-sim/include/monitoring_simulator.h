// A stand-in for the remote monitoring service and its token endpoint: an HTTP (or HTTPS) server
// that issues bearer tokens, keeps a small device directory, takes the device's attributes,
// telemetry, alarms, recognitions and alerts, hands out queued tasks and records everything.
// One owner (a test or the monitoring-sim program) starts and stops it; every other member may
// be called from any thread while requests are served on the simulator's own thread pool.
#pragma once

#include <array>
#include <boost/json/value.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korvane::MonitoringSim {

// Ordered (name, value) pairs, decoded.
using NameValues = std::vector<std::pair<std::string, std::string>>;

// Route patterns, the keys of scripted answers and of RecordedRequest::route. "{id}" stands for
// one device id segment, "{taskId}" for one task id segment.
namespace Routes {
inline constexpr const char* kToken = "/auth/realms/Korvane/protocol/openid-connect/token";
inline constexpr const char* kStores = "/api/v1/stores";
inline constexpr const char* kStoreTypes = "/api/v1/stores/types";
inline constexpr const char* kStoreDepartments = "/api/v1/stores/departments";
inline constexpr const char* kStoreRegions = "/api/v1/stores/regions";
inline constexpr const char* kDeviceModels = "/api/v1/devices/models";
inline constexpr const char* kDevices = "/api/v1/devices";           // GET list, POST create
inline constexpr const char* kDevicesData = "/api/v1/devices/data";  // POST
inline constexpr const char* kDevice = "/api/v1/devices/{id}";       // GET, DELETE, PATCH
inline constexpr const char* kAttributes = "/api/v1/devices/{id}/attributes";  // GET and POST
inline constexpr const char* kTelemetry = "/api/v1/devices/{id}/telemetry";
inline constexpr const char* kAlarm = "/api/v1/devices/{id}/alarm";
inline constexpr const char* kRecognition = "/api/v1/devices/{id}/recognition";
inline constexpr const char* kAlert = "/api/v1/devices/{id}/alert";
inline constexpr const char* kState = "/api/v1/devices/{id}/state";
inline constexpr const char* kTask = "/api/v1/devices/{id}/task";
inline constexpr const char* kTaskConfirm = "/api/v1/devices/{id}/tasks/{taskId}/confirm";
inline constexpr const char* kTaskError = "/api/v1/devices/{id}/tasks/{taskId}/error";
inline constexpr const char* kTaskReject = "/api/v1/devices/{id}/tasks/{taskId}/reject";
inline constexpr const char* kAutodistribution =
    "/api/v1/devices/{id}/recognition_models/autodistribution";
// Matches every route of the given method (a scripted answer for "*" applies after one for the
// exact route).
inline constexpr const char* kAny = "*";
}  // namespace Routes

class MonitoringSimulator {
  public:
    struct Options {
        std::string host = "127.0.0.1";
        std::uint16_t port = 0;                   // 0 picks a free port
        std::string clientSecret = "sim-secret";  // the only client_secret accepted
        int expiresIn = 300;                      // "expires_in" of token answers, seconds
        int refreshExpiresIn = 1800;              // "refresh_expires_in", seconds
        bool requireBearer = true;  // /api/v1/... refuses requests without a live token
        bool seedDirectory = true;  // start with a few stores, models and devices
        // Both set: serve HTTPS with this PEM certificate and private key instead of HTTP.
        std::string certificateFile;
        std::string privateKeyFile;
        bool verbose = false;  // one line per request on stderr
        // A second listener for the control API alone, which stays open while the service
        // port refuses connections; -1: none, 0: a free port.
        int controlPort = -1;
    };

    // One scripted answer. An empty body with status 200 is sent as an empty body.
    struct Answer {
        int status = 200;
        std::string body;
        std::string contentType = "application/json";
        std::chrono::milliseconds delay{0};  // wait this long before answering (or dropping)
        bool drop = false;                   // reset the connection instead of answering
        std::vector<std::pair<std::string, std::string>> headers = {};  // e.g. Retry-After
    };

    // One request as it arrived (control requests under /sim/ are not recorded).
    struct RecordedRequest {
        std::uint64_t sequence = 0;  // arrival order, from 1
        std::string method;
        std::string target;                 // the raw request target, still percent-encoded
        std::vector<std::string> segments;  // the path's segments, each percent-decoded
        NameValues query;                   // decoded query pairs in order
        NameValues headers;                 // in arrival order
        std::string body;
        std::string bearerToken;  // the token of "Authorization: Bearer ...", empty when none
        bool tokenValid = false;  // the bearer token was issued here and had not expired
        std::string route;        // the matched pattern of Routes, empty for an unknown route
        std::string deviceId;     // decoded "{id}" of the route, when it has one
        std::string taskId;       // decoded "{taskId}" of the route, when it has one
        int status = -1;  // the status answered; 0 when dropped, -1 while still being answered
        std::string answerBody;  // the body answered

        // First header of that name (case-insensitive), empty when absent.
        std::string header(const std::string& name) const;
        // First query value of that name, empty when absent.
        std::string queryValue(const std::string& name) const;
    };

    struct TokenRequest {
        NameValues form;          // the form fields, decoded, in the order sent
        bool renewal = false;     // it carried a "refresh_token" field
        int status = 0;           // the status answered; 0 when the connection was dropped
        std::string accessToken;  // the access token issued by a 200 answer, else empty
    };

    // A well-formed message received on one device-scoped route, with the status it was given
    // (200, or what a scripted answer said; malformed messages are answered 400 and appear only
    // among requests()).
    struct DeviceMessage {
        std::string deviceId;
        boost::json::value body;
        int status = 0;
    };

    struct TaskAnswer {
        std::string deviceId;
        std::string taskId;
        std::string action;  // "confirm", "error" or "reject"
        boost::json::value body;
        int status = 0;
    };

    // What a request is counted as in traffic(); the names are in trafficKindNames().
    enum class TrafficKind {
        Token,
        Recognition,
        Telemetry,  // the device's ping included
        Task,       // fetching a task and answering one
        State,
        Attributes,  // POSTed by the device
        Alarm,
        Alert,
        Other,  // the directory, unknown routes
    };
    static constexpr std::size_t kTrafficKinds = 9;
    static const std::array<const char*, kTrafficKinds>& trafficKindNames();

    // The service requests that arrived within one wall-clock second, by kind (indexed by
    // TrafficKind); those reset or answered by a script are counted too.
    struct TrafficSecond {
        std::int64_t unixSecond = 0;
        std::array<std::uint32_t, kTrafficKinds> counts{};
    };

    struct Task {
        std::string id;  // empty: the simulator picks one
        std::string type;
        boost::json::value data = boost::json::object();
    };

    struct Store {
        std::string id;  // empty: the simulator picks one
        std::string name;
        std::string type;
        std::string department;
        std::string region;
    };

    struct Device {
        std::string id;  // empty: the simulator picks one
        std::string serialNumber;
        std::string model = "Korvane Pellix Module";
        std::string type = "recognition_module";
        std::string name;
        std::string storeId;
    };

    MonitoringSimulator();
    explicit MonitoringSimulator(Options options);
    ~MonitoringSimulator();
    MonitoringSimulator(const MonitoringSimulator&) = delete;
    MonitoringSimulator& operator=(const MonitoringSimulator&) = delete;

    // Binds and starts serving; throws when the address cannot be bound or the certificate
    // cannot be loaded.
    void start();
    // Stops serving and waits for running requests (delayed answers end at once). Idempotent.
    void stop();
    // The port actually bound (the real one when 0 was asked for).
    std::uint16_t port() const;
    const std::string& host() const;
    // "http://host:port" or "https://host:port".
    std::string baseUrl() const;
    // The control listener's port; 0 when Options::controlPort was -1.
    std::uint16_t controlPort() const;

    // Back to the start-up state: records, scripts, tasks, tokens, the "/state" answer, down
    // mode and the directory (re-seeded when the options say so). Token options are restored.
    void reset();

    // --- Tokens -------------------------------------------------------------------------
    void setClientSecret(const std::string& secret);
    void setExpiresIn(int seconds);
    void setRefreshExpiresIn(int seconds);
    // The next `count` token requests are answered with `status` and an OpenID-style error.
    void refuseNextTokens(int count, int status = 401);
    // The next successful token answer leaves out this member (e.g. "session_state").
    void omitFromNextToken(const std::string& member);
    // The next token request that would succeed is answered 200 with an empty body.
    void emptyNextToken();
    // Moves the simulator's token clock forward; tokens expire against that clock.
    void advanceClock(std::chrono::seconds offset);
    // Every access token issued so far expires now; with refresh too, every refresh token.
    void expireTokens(bool refreshToo = true);
    // Whether the access token was issued here and has not expired.
    bool isTokenValid(const std::string& accessToken) const;
    std::vector<TokenRequest> tokenRequests() const;
    // Switches the bearer check of /api/v1/... on or off.
    void setRequireBearer(bool require);

    // --- Scripted answers ------------------------------------------------------------------
    // Appends answers to the queue of (method, route); each request of that route consumes one
    // in order, ahead of any sticky answer and of the normal handling. route is a Routes
    // pattern (or Routes::kAny); method may be "*" for any. Lookup order: (method, route),
    // (method, "*"), ("*", route), ("*", "*"). Requests refused by the bearer check consume
    // nothing, nor do device messages and task answers whose body is malformed (answered 400
    // first). A scripted answer for GET .../task is served instead of the task queue.
    void script(const std::string& method, const std::string& route, Answer answer);
    void script(const std::string& method, const std::string& route, std::vector<Answer> answers);
    // Answers every request of (method, route) once its queue is empty, until cleared.
    void setSticky(const std::string& method, const std::string& route, Answer answer);
    // Drops the queue and the sticky answer of (method, route).
    void clearScript(const std::string& method, const std::string& route);
    void clearScripts();
    // While down, every connection except those to /sim/ is reset as soon as it is read.
    void setDown(bool down);
    // Refusing closes the service port itself, so that connections are refused, and resets the
    // open ones; false listens on the same port again. Records, tokens and scripts are kept.
    // Reach the control API through Options::controlPort meanwhile.
    void setRefusing(bool refusing);

    // --- Device-scoped data ----------------------------------------------------------------
    // Queues a task for GET .../task (any device); returns its id.
    std::string queueTask(Task task);
    std::size_t pendingTasks() const;
    // The body of GET .../state, as JSON text ("null" at start).
    void setStateAnswer(const std::string& jsonText);

    std::vector<DeviceMessage> attributes() const;
    std::vector<DeviceMessage> telemetry() const;
    std::vector<DeviceMessage> alarms() const;
    std::vector<DeviceMessage> recognitions() const;
    std::vector<DeviceMessage> alerts() const;
    std::vector<DeviceMessage> autodistributions() const;
    std::vector<TaskAnswer> taskAnswers() const;

    // --- Directory ---------------------------------------------------------------------------
    // Adds or replaces (same id) an entry; returns its id.
    std::string addStore(Store store);
    std::string addDevice(Device device);
    std::string addDeviceModel(const std::string& name);
    std::vector<Device> devices() const;
    // Empties stores, models and devices.
    void clearDirectory();

    // --- Requests ------------------------------------------------------------------------------
    std::vector<RecordedRequest> requests() const;
    // The recorded requests of one method and route pattern (either may be Routes::kAny),
    // pending ones included; requestCount counts the same set.
    std::vector<RecordedRequest> requests(const std::string& method,
                                          const std::string& route) const;
    std::size_t requestCount(const std::string& method, const std::string& route) const;
    // Waits until at least `count` requests of (method, route) have been answered or dropped;
    // false when the timeout passed first.
    bool waitForRequests(const std::string& method, const std::string& route, std::size_t count,
                         std::chrono::milliseconds timeout) const;
    // The per-second request counts from that Unix second on (seconds without a request left
    // out); kept for a day, unlike requests(), and not forgotten by clearRecords().
    std::vector<TrafficSecond> traffic(std::int64_t sinceUnixSecond = 0) const;
    // Forgets recorded requests, token requests, messages and task answers.
    void clearRecords();

    struct Impl;  // opaque; public only so that the request handlers can name it

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvane::MonitoringSim
