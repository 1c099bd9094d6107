// The relay of /api/monitoring/... to the monitoring service and the connection check.
#include <Poco/JSON/Parser.h>

#include "monitoring_driver.h"
#include "responses.h"
#include "server.h"

namespace korvane::Engine::Test {

namespace {

constexpr int kNoMonitoringConnection = -10002;

using Result = Sync::MonitoringDriver::Result;
using Operation = std::function<Result(Sync::MonitoringDriver&)>;

// The operation a monitoring path and method name, or an empty one for a 404. Segments are
// already decoded: an id travels on as one path segment whatever it holds.
Operation selectOperation(const ApiRequest& request) {
    const auto& s = request.segments;  // "api", "monitoring", ...
    const auto& m = request.method;
    const auto& q = request.query;
    const std::string& body = request.body;
    if (s.size() == 3 && s[2] == "stores" && m == "GET") {
        return [&q](auto& d) { return d.get_stores_list(q); };
    }
    if (s.size() == 4 && s[2] == "stores" && m == "GET") {
        if (s[3] == "types") return [&q](auto& d) { return d.get_stores_types_list(q); };
        if (s[3] == "departments") {
            return [&q](auto& d) { return d.get_stores_departments_list(q); };
        }
        if (s[3] == "regions") return [&q](auto& d) { return d.get_stores_regions_list(q); };
        return {};
    }
    if (s.size() < 3 || s[2] != "devices") return {};
    if (s.size() == 3) {
        if (m == "GET") return [&q](auto& d) { return d.get_device_list(q); };
        if (m == "POST") return [&q, &body](auto& d) { return d.create_device(body, q); };
        return {};
    }
    const std::string& id = s[3];
    if (s.size() == 4) {
        if (m == "GET" && id == "models") {
            return [&q](auto& d) { return d.get_devices_models_list(q); };
        }
        if (m == "GET") return [&q, &id](auto& d) { return d.get_device_info(id, q); };
        if (m == "POST" && id == "models") {
            return [&q, &body](auto& d) { return d.create_device_model(body, q); };
        }
        if (m == "POST" && id == "data") {
            return [&q, &body](auto& d) { return d.get_device_attributes_list(body, q); };
        }
        if (m == "PATCH") {
            return [&q, &id, &body](auto& d) { return d.update_device_data(id, body, q); };
        }
        if (m == "DELETE") return [&q, &id](auto& d) { return d.delete_device(id, q); };
        return {};
    }
    if (s.size() == 5 && s[4] == "attributes" && m == "GET") {
        return [&q, &id](auto& d) { return d.get_device_attributes(id, q); };
    }
    return {};
}

Poco::Dynamic::Var parsedBody(const std::string& body) {
    if (body.empty()) return {};
    Poco::JSON::Parser parser;
    return parser.parse(body);
}

}  // namespace

ApiReply Server::checkConnect() {
    const auto current = monitoring();
    const int code = current ? current->check_connect() : kNoMonitoringConnection;
    return ApiReply::json(Utils::toJsonText(Utils::get_empty_response(code)));
}

ApiReply Server::relayToMonitoring(const ApiRequest& request) {
    const Operation operation = selectOperation(request);
    if (!operation) return ApiReply::notFoundReply();
    const auto current = monitoring();
    if (!current || current->check_connect() != 0) {
        // No token (or no client at all): the service would only refuse the request.
        return ApiReply::json(
            Utils::toJsonText(Utils::get_empty_response(kNoMonitoringConnection)));
    }
    const auto [code, response] = operation(*current);
    (void)code;  // the status says it all: the answer carries the service's own status
    ApiReply reply = ApiReply::json(
        Utils::toJsonText(Utils::make_response(response.status, parsedBody(response.body))),
        response.status);
    reply.reason = response.reason;
    return reply;
}

}  // namespace korvane::Engine::Test
