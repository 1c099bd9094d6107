// Maps a request's decoded path segments to one of the service's route patterns and pulls out
// the device and task ids. Stateless; callable from any thread.
#pragma once

#include <string>
#include <vector>

namespace korvane::MonitoringSim {

struct RouteMatch {
    std::string pattern;  // empty when no route matches
    std::string deviceId;
    std::string taskId;
};

RouteMatch matchRoute(const std::vector<std::string>& segments);

// True for the paths the bearer check guards.
bool isGuardedPath(const std::vector<std::string>& segments);

}  // namespace korvane::MonitoringSim
