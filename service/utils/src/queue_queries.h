#pragma once
// Queries on the queues that the monitoring loop drains: entries are added by their producers
// and sent and removed by the loop. Every function expects the caller to hold the database
// mutex; statement errors propagate as Poco::Data exceptions.

#include <Poco/Data/Session.h>

#include <string>

namespace korvane::Utils::Queries {

// Queues a device alert stamped with the current time; returns its id.
int addAlertQueue(Poco::Data::Session& session, int code, const std::string& description);

}  // namespace korvane::Utils::Queries
