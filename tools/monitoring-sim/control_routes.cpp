#include "control_routes.h"

#include <strings.h>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <stdexcept>

namespace korvane::MonitoringSim {
namespace {

using Sim = MonitoringSimulator;

// A control request the simulator cannot act on.
class BadControl : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

boost::json::object readBody(const Exchange& exchange) {
    if (exchange.body.empty()) return {};
    boost::system::error_code error;
    boost::json::value value = boost::json::parse(exchange.body, error);
    if (error || !value.is_object()) throw BadControl("the body must be a JSON object");
    return std::move(value.get_object());
}

std::string stringMember(const boost::json::object& body, const char* name,
                         const std::string& fallback = {}) {
    const boost::json::value* value = body.if_contains(name);
    if (!value) return fallback;
    if (!value->is_string()) throw BadControl(std::string("\"") + name + "\" must be a string");
    return std::string(value->get_string());
}

std::int64_t intMember(const boost::json::object& body, const char* name, std::int64_t fallback) {
    const boost::json::value* value = body.if_contains(name);
    if (!value) return fallback;
    if (!value->is_int64()) throw BadControl(std::string("\"") + name + "\" must be an integer");
    return value->get_int64();
}

bool boolMember(const boost::json::object& body, const char* name, bool fallback) {
    const boost::json::value* value = body.if_contains(name);
    if (!value) return fallback;
    if (!value->is_bool()) throw BadControl(std::string("\"") + name + "\" must be a boolean");
    return value->get_bool();
}

boost::json::array pairsJson(const NameValues& pairs, bool redact) {
    boost::json::array items;
    for (const auto& [name, value] : pairs) {
        const bool secret = redact && (strcasecmp(name.c_str(), "authorization") == 0 ||
                                       name == "client_secret" || name == "refresh_token");
        items.push_back(boost::json::array{boost::json::value(name),
                                           boost::json::value(secret ? "***" : value)});
    }
    return items;
}

// Credentials stay out of the control output: the tests that need them run in-process.
boost::json::object requestJson(const Sim::RecordedRequest& request) {
    boost::json::array segments;
    for (const auto& segment : request.segments) segments.push_back(boost::json::value(segment));
    const bool tokenRoute = request.route == Routes::kToken;
    return {{"sequence", request.sequence},
            {"method", request.method},
            {"target", request.target},
            {"segments", std::move(segments)},
            {"query", pairsJson(request.query, false)},
            {"headers", pairsJson(request.headers, true)},
            {"body", tokenRoute ? std::string("(form, see /sim/token/requests)") : request.body},
            {"has_bearer", !request.bearerToken.empty()},
            {"token_valid", request.tokenValid},
            {"route", request.route},
            {"device_id", request.deviceId},
            {"task_id", request.taskId},
            {"status", request.status},
            {"answer_body", tokenRoute ? std::string() : request.answerBody}};
}

boost::json::array messagesJson(const std::vector<Sim::DeviceMessage>& messages) {
    boost::json::array items;
    for (const auto& message : messages) {
        items.push_back(boost::json::object{
            {"device_id", message.deviceId}, {"body", message.body}, {"status", message.status}});
    }
    return items;
}

Sim::Answer answerOf(const boost::json::object& body) {
    Sim::Answer answer;
    answer.status = static_cast<int>(intMember(body, "status", 200));
    if (const boost::json::value* text = body.if_contains("body")) {
        answer.body =
            text->is_string() ? std::string(text->get_string()) : boost::json::serialize(*text);
    }
    answer.contentType = stringMember(body, "content_type", answer.contentType);
    answer.delay = std::chrono::milliseconds(intMember(body, "delay_ms", 0));
    answer.drop = boolMember(body, "drop", false);
    return answer;
}

Sim::Device deviceOf(const boost::json::object& body) {
    Sim::Device device;
    device.id = stringMember(body, "id");
    device.serialNumber = stringMember(body, "serial_number");
    device.model = stringMember(body, "model", device.model);
    device.type = stringMember(body, "type", device.type);
    device.name = stringMember(body, "name");
    device.storeId = stringMember(body, "store_id");
    return device;
}

Sim::Store storeOf(const boost::json::object& body) {
    return Sim::Store{stringMember(body, "id"), stringMember(body, "name"),
                      stringMember(body, "type"), stringMember(body, "department"),
                      stringMember(body, "region")};
}

// Deliveries answered 2xx per recognition session; a session only ever refused shows 0, so
// that a client can tell "refused, not yet resent" from "never sent".
boost::json::object acceptedPerSession(const std::vector<Sim::DeviceMessage>& messages) {
    boost::json::object counts;
    for (const auto& message : messages) {
        const boost::json::value* sid =
            message.body.is_object() ? message.body.get_object().if_contains("recognition_session")
                                     : nullptr;
        const std::string key = sid && sid->is_string() ? std::string(sid->get_string()) : "";
        boost::json::value& count = counts[key];
        if (!count.is_int64()) count = std::int64_t{0};
        if (message.status >= 200 && message.status < 300) count = count.get_int64() + 1;
    }
    return counts;
}

// {"kinds":[...],"seconds":[[unix second, count of each kind...],...]}
boost::json::object trafficJson(const std::vector<Sim::TrafficSecond>& seconds) {
    boost::json::array kinds;
    for (const char* name : Sim::trafficKindNames()) kinds.push_back(boost::json::value(name));
    boost::json::array rows;
    for (const auto& second : seconds) {
        boost::json::array row{second.unixSecond};
        for (std::uint32_t count : second.counts) row.push_back(count);
        rows.push_back(std::move(row));
    }
    return {{"kinds", std::move(kinds)}, {"seconds", std::move(rows)}};
}

Reply ok() {
    return jsonReply(200, boost::json::object{{"ok", true}});
}

}  // namespace

ControlRoutes::ControlRoutes(MonitoringSimulator& simulator) : simulator_(simulator) {}

Reply ControlRoutes::handle(const Exchange& exchange) {
    std::string path;
    for (std::size_t i = 1; i < exchange.segments.size(); ++i) {
        path += (i > 1 ? "/" : "") + exchange.segments[i];
    }
    const std::string& method = exchange.method;
    const bool post = method == "POST";
    const bool get = method == "GET";
    try {
        if (post && path == "reset") {
            simulator_.reset();
            return ok();
        }
        if (post && path == "script") {
            const auto body = readBody(exchange);
            const std::string verb = stringMember(body, "method", Routes::kAny);
            const std::string route = stringMember(body, "route", Routes::kAny);
            if (boolMember(body, "sticky", false)) {
                simulator_.setSticky(verb, route, answerOf(body));
            } else {
                simulator_.script(verb, route, answerOf(body));
            }
            return ok();
        }
        if (post && path == "script/clear") {
            const auto body = readBody(exchange);
            if (body.contains("route") || body.contains("method")) {
                simulator_.clearScript(stringMember(body, "method", Routes::kAny),
                                       stringMember(body, "route", Routes::kAny));
            } else {
                simulator_.clearScripts();
            }
            return ok();
        }
        if (post && (path == "down" || path == "up")) {
            const auto body = path == "down" ? readBody(exchange) : boost::json::object();
            const bool refuse = boolMember(body, "refuse", false);
            simulator_.setDown(path == "down" && !refuse && boolMember(body, "down", true));
            simulator_.setRefusing(path == "down" && refuse);
            return ok();
        }
        if (get && path == "traffic") {
            const std::string* since = findValue(exchange.query, "since");
            std::int64_t from = 0;
            try {
                from = since ? std::stoll(*since) : 0;
            } catch (const std::exception&) {
                throw BadControl("\"since\" must be a Unix second");
            }
            return jsonReply(200, trafficJson(simulator_.traffic(from)));
        }
        if (get && path == "received/recognition-sessions") {
            return jsonReply(200, acceptedPerSession(simulator_.recognitions()));
        }
        if (path == "tasks" && (post || get)) {
            if (get) {
                return jsonReply(200, boost::json::object{{"pending", simulator_.pendingTasks()}});
            }
            const auto body = readBody(exchange);
            Sim::Task task;
            task.id = stringMember(body, "id");
            task.type = stringMember(body, "type");
            if (const boost::json::value* data = body.if_contains("data")) task.data = *data;
            return jsonReply(200, boost::json::object{{"id", simulator_.queueTask(task)}});
        }
        if (post && path == "state") {
            boost::system::error_code error;
            boost::json::parse(exchange.body, error);
            if (error) throw BadControl("the /state answer must be JSON text");
            simulator_.setStateAnswer(exchange.body);
            return ok();
        }
        if (post && path == "token") {
            const auto body = readBody(exchange);
            if (body.contains("client_secret")) {
                simulator_.setClientSecret(stringMember(body, "client_secret"));
            }
            if (body.contains("expires_in")) {
                simulator_.setExpiresIn(static_cast<int>(intMember(body, "expires_in", 0)));
            }
            if (body.contains("refresh_expires_in")) {
                simulator_.setRefreshExpiresIn(
                    static_cast<int>(intMember(body, "refresh_expires_in", 0)));
            }
            if (body.contains("refuse_next")) {
                simulator_.refuseNextTokens(
                    static_cast<int>(intMember(body, "refuse_next", 0)),
                    static_cast<int>(intMember(body, "refuse_status", 401)));
            }
            if (body.contains("omit")) simulator_.omitFromNextToken(stringMember(body, "omit"));
            if (boolMember(body, "empty_next", false)) simulator_.emptyNextToken();
            if (body.contains("advance_seconds")) {
                simulator_.advanceClock(
                    std::chrono::seconds(intMember(body, "advance_seconds", 0)));
            }
            if (boolMember(body, "expire", false)) {
                simulator_.expireTokens(boolMember(body, "expire_refresh", true));
            }
            if (body.contains("require_bearer")) {
                simulator_.setRequireBearer(boolMember(body, "require_bearer", true));
            }
            return ok();
        }
        if (get && path == "token/requests") {
            boost::json::array items;
            for (const auto& request : simulator_.tokenRequests()) {
                items.push_back(boost::json::object{{"form", pairsJson(request.form, true)},
                                                    {"renewal", request.renewal},
                                                    {"status", request.status},
                                                    {"issued", !request.accessToken.empty()}});
            }
            return jsonReply(200, items);
        }
        if (path == "requests" && (get || method == "DELETE")) {
            if (!get) {
                simulator_.clearRecords();
                return ok();
            }
            const std::string* verb = findValue(exchange.query, "method");
            const std::string* route = findValue(exchange.query, "route");
            boost::json::array items;
            for (const auto& request :
                 simulator_.requests(verb ? *verb : Routes::kAny, route ? *route : Routes::kAny)) {
                items.push_back(requestJson(request));
            }
            return jsonReply(200, items);
        }
        if (get && exchange.segments.size() == 3 && exchange.segments[1] == "received") {
            const std::string& channel = exchange.segments[2];
            if (channel == "attributes")
                return jsonReply(200, messagesJson(simulator_.attributes()));
            if (channel == "telemetry") return jsonReply(200, messagesJson(simulator_.telemetry()));
            if (channel == "alarms") return jsonReply(200, messagesJson(simulator_.alarms()));
            if (channel == "recognitions") {
                return jsonReply(200, messagesJson(simulator_.recognitions()));
            }
            if (channel == "alerts") return jsonReply(200, messagesJson(simulator_.alerts()));
            if (channel == "autodistributions") {
                return jsonReply(200, messagesJson(simulator_.autodistributions()));
            }
            if (channel == "task-answers") {
                boost::json::array items;
                for (const auto& answer : simulator_.taskAnswers()) {
                    items.push_back(boost::json::object{{"device_id", answer.deviceId},
                                                        {"task_id", answer.taskId},
                                                        {"action", answer.action},
                                                        {"body", answer.body},
                                                        {"status", answer.status}});
                }
                return jsonReply(200, items);
            }
        }
        if (path == "devices" && (get || post)) {
            if (post) {
                return jsonReply(200,
                                 boost::json::object{
                                     {"id", simulator_.addDevice(deviceOf(readBody(exchange)))}});
            }
            boost::json::array items;
            for (const auto& device : simulator_.devices()) {
                items.push_back(boost::json::object{{"id", device.id},
                                                    {"serial_number", device.serialNumber},
                                                    {"model", device.model},
                                                    {"type", device.type},
                                                    {"name", device.name},
                                                    {"store_id", device.storeId}});
            }
            return jsonReply(200, items);
        }
        if (post && path == "stores") {
            return jsonReply(
                200, boost::json::object{{"id", simulator_.addStore(storeOf(readBody(exchange)))}});
        }
        if (post && path == "models") {
            const std::string id =
                simulator_.addDeviceModel(stringMember(readBody(exchange), "name"));
            return jsonReply(200, boost::json::object{{"id", id}});
        }
        if (method == "DELETE" && path == "directory") {
            simulator_.clearDirectory();
            return ok();
        }
    } catch (const BadControl& e) {
        return errorReply(400, "BAD_CONTROL", e.what());
    } catch (const std::exception& e) {
        // Listening again can fail (the port was taken meanwhile); the caller must learn it.
        return errorReply(500, "CONTROL_FAILED", e.what());
    }
    return errorReply(404, "NOT_FOUND", "No control route " + method + " /sim/" + path);
}

}  // namespace korvane::MonitoringSim
