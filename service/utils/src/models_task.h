#pragma once
// A remote task of the monitoring service as the Agent handles it: what the service asked for
// and what the Agent reports back. A plain value passed by reference through one dispatch.

#include <boost/json/object.hpp>
#include <string>

namespace korvane::Utils::Models {

struct Task {
    std::string id;
    std::string type;
    boost::json::object data;    // the task's parameters
    boost::json::object result;  // empty on arrival; what the confirmation carries
};

}  // namespace korvane::Utils::Models
