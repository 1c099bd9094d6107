// Shape checks of what the device posts: attributes, telemetry, alarms, recognitions, alerts,
// autodistribution requests and task answers. Each returns an empty text when the body has the
// shape the device must send, otherwise a short explanation for the 400 answer. Stateless.
#pragma once

#include <boost/json/value.hpp>
#include <string>

namespace korvane::MonitoringSim {

std::string checkAttributes(const boost::json::value& body);
std::string checkTelemetry(const boost::json::value& body);
std::string checkAlarm(const boost::json::value& body);
std::string checkRecognition(const boost::json::value& body);
std::string checkAlert(const boost::json::value& body);
std::string checkAutodistribution(const boost::json::value& body);
// action is "confirm", "error" or "reject".
std::string checkTaskAnswer(const std::string& action, const boost::json::value& body);

}  // namespace korvane::MonitoringSim
