#include "route_match.h"

#include <sstream>

#include "monitoring_simulator.h"

namespace korvane::MonitoringSim {
namespace {

std::vector<std::string> splitPattern(const char* pattern) {
    std::vector<std::string> parts;
    std::istringstream in(pattern + 1);  // patterns begin with "/"
    std::string part;
    while (std::getline(in, part, '/')) parts.push_back(part);
    return parts;
}

// Literal routes come before the placeholder routes they overlap ("models" and "data" are not
// device ids).
const std::vector<std::pair<const char*, std::vector<std::string>>>& patterns() {
    static const std::vector<std::pair<const char*, std::vector<std::string>>> table = [] {
        std::vector<std::pair<const char*, std::vector<std::string>>> all;
        for (const char* pattern : {Routes::kToken,        Routes::kStores,
                                    Routes::kStoreTypes,   Routes::kStoreDepartments,
                                    Routes::kStoreRegions, Routes::kDeviceModels,
                                    Routes::kDevicesData,  Routes::kDevices,
                                    Routes::kDevice,       Routes::kAttributes,
                                    Routes::kTelemetry,    Routes::kAlarm,
                                    Routes::kRecognition,  Routes::kAlert,
                                    Routes::kState,        Routes::kTask,
                                    Routes::kTaskConfirm,  Routes::kTaskError,
                                    Routes::kTaskReject,   Routes::kAutodistribution}) {
            all.emplace_back(pattern, splitPattern(pattern));
        }
        return all;
    }();
    return table;
}

}  // namespace

RouteMatch matchRoute(const std::vector<std::string>& segments) {
    for (const auto& [pattern, parts] : patterns()) {
        if (parts.size() != segments.size()) continue;
        RouteMatch match;
        bool same = true;
        for (std::size_t i = 0; same && i < parts.size(); ++i) {
            if (parts[i] == "{id}" || parts[i] == "{taskId}") {
                same = !segments[i].empty();
                (parts[i] == "{id}" ? match.deviceId : match.taskId) = segments[i];
            } else {
                same = parts[i] == segments[i];
            }
        }
        if (same) {
            match.pattern = pattern;
            return match;
        }
    }
    return {};
}

bool isGuardedPath(const std::vector<std::string>& segments) {
    return segments.size() >= 2 && segments[0] == "api" && segments[1] == "v1";
}

}  // namespace korvane::MonitoringSim
