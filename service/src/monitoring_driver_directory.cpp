// MonitoringDriver's directory and registration relay: one request each, the service's answer
// handed back unchanged, and a synthetic 502 answer when no usable answer arrived.
#include <boost/json.hpp>
#include <stdexcept>

#include "logger.h"
#include "monitoring_driver.h"

namespace korvane::Engine::Sync {

namespace {

constexpr int kMonitoringFailure = -6207;

std::string devicesPath(const std::string& id, const std::string& suffix = {}) {
    return "/api/v1/devices/" + REST::encodePathSegment(id) + suffix;
}

// The service answers JSON; anything else (a proxy's error page, a cut-off body) would reach
// the point-of-sale software as an answer it cannot read.
void requireJsonBody(const std::string& body) {
    if (body.empty()) return;
    boost::system::error_code error;
    boost::json::parse(body, error);
    if (error) throw std::runtime_error("Answer body is not JSON: " + error.message());
}

}  // namespace

struct MonitoringDriver::DirectoryCall {
    const char* name;
    std::string method;
    std::string path;
    const std::string* body = nullptr;  // JSON text for POST and PATCH
    const REST::NameValues& params;
    bool logRequest = false;  // the request object goes into the "called" line
};

MonitoringDriver::Result MonitoringDriver::relay(const DirectoryCall& call) {
    const std::string name = call.name;
    if (name == "get_stores_list") {
        Log()->info("get_stores_list() called");
    } else if (!call.logRequest) {
        Log()->info("{}() called;", name);
    }
    try {
        boost::json::object object;
        if (call.body != nullptr) {
            boost::json::value parsed = boost::json::parse(*call.body);
            if (!parsed.is_object()) throw std::runtime_error("Request body is not a JSON object");
            object = std::move(parsed.get_object());
        }
        if (call.logRequest) {
            Log()->info("{}() called, request: {};", name, boost::json::serialize(object));
        }
        const auto client = this->client();
        REST::RawResponse response;
        if (call.method == "GET") {
            response = client->GetWithQuery(call.path, call.params);
        } else if (call.method == "DELETE") {
            response = client->DeleteWithQuery(call.path, call.params);
        } else if (call.method == "POST") {
            response = client->PostWithQuery(call.path, object, call.params);
        } else {
            response = client->PatchWithQuery(call.path, object, call.params);
        }
        Log()->info("{}() completed, response: {};", name, REST::redactSecrets(response.body));
        requireJsonBody(response.body);
        return {response.status == 200 ? 0 : kMonitoringFailure, std::move(response)};
    } catch (const std::exception& e) {
        Log()->error("{}() exception: {};", name, e.what());
        return {kMonitoringFailure, generate_bad_answer(e.what())};
    }
}

MonitoringDriver::Result MonitoringDriver::get_stores_list(const REST::NameValues& params) {
    return relay({"get_stores_list", "GET", "/api/v1/stores", nullptr, params});
}

MonitoringDriver::Result MonitoringDriver::get_stores_types_list(const REST::NameValues& params) {
    return relay({"get_stores_types_list", "GET", "/api/v1/stores/types", nullptr, params});
}

MonitoringDriver::Result MonitoringDriver::get_stores_departments_list(
    const REST::NameValues& params) {
    return relay(
        {"get_stores_departments_list", "GET", "/api/v1/stores/departments", nullptr, params});
}

MonitoringDriver::Result MonitoringDriver::get_stores_regions_list(const REST::NameValues& params) {
    return relay({"get_stores_regions_list", "GET", "/api/v1/stores/regions", nullptr, params});
}

MonitoringDriver::Result MonitoringDriver::get_devices_models_list(const REST::NameValues& params) {
    return relay({"get_devices_models_list", "GET", "/api/v1/devices/models", nullptr, params});
}

MonitoringDriver::Result MonitoringDriver::get_device_list(const REST::NameValues& params) {
    return relay({"get_device_list", "GET", "/api/v1/devices", nullptr, params});
}

MonitoringDriver::Result MonitoringDriver::get_device_info(const std::string& id,
                                                           const REST::NameValues& params) {
    return relay({"get_device_info", "GET", devicesPath(id), nullptr, params});
}

MonitoringDriver::Result MonitoringDriver::get_device_attributes(const std::string& id,
                                                                 const REST::NameValues& params) {
    return relay({"get_device_attributes", "GET", devicesPath(id, "/attributes"), nullptr, params});
}

MonitoringDriver::Result MonitoringDriver::delete_device(const std::string& id,
                                                         const REST::NameValues& params) {
    return relay({"delete_device", "DELETE", devicesPath(id), nullptr, params});
}

MonitoringDriver::Result MonitoringDriver::get_device_attributes_list(
    const std::string& body, const REST::NameValues& params) {
    return relay({"get_device_attributes_list", "POST", "/api/v1/devices/data", &body, params});
}

MonitoringDriver::Result MonitoringDriver::create_device(const std::string& body,
                                                         const REST::NameValues& params) {
    return relay({"create_device", "POST", "/api/v1/devices", &body, params});
}

MonitoringDriver::Result MonitoringDriver::create_device_model(const std::string& body,
                                                               const REST::NameValues& params) {
    return relay({"create_device_model", "POST", "/api/v1/devices/models", &body, params, true});
}

MonitoringDriver::Result MonitoringDriver::update_device_data(const std::string& id,
                                                              const std::string& body,
                                                              const REST::NameValues& params) {
    return relay({"update_device_data", "PATCH", devicesPath(id), &body, params});
}

}  // namespace korvane::Engine::Sync
