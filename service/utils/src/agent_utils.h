#pragma once
// Small shared helpers: conversions between the two JSON value models (Poco for the local API
// and the database layer, Boost.JSON for remote task bodies), type names for stored values,
// compact time stamps and the outgoing IPv4 address. Stateless; safe from any thread.

#include <Poco/Dynamic/Var.h>

#include <boost/json/value.hpp>
#include <string>

namespace korvane::Utils {

// Address of the local interface that routes to the outside, "" when there is none.
std::string getLocalIP();
// "YYYYmmddHHMMSS" read as UTC, formatted "%Y-%m-%d %H:%M:%S" in local time (toLocal) or UTC;
// "" for anything that is not exactly such a 14-character stamp.
std::string utc_format(const std::string& text, bool toLocal);
// "string", "int" (64-bit signed only), "double", "bool", or "" for every other stored type.
std::string getTypeAsString(const Poco::Dynamic::Var& value);
boost::json::value convertPoco2Boost(const Poco::Dynamic::Var& value);
Poco::Dynamic::Var convertJsonBoost2Poco(const boost::json::value& value);

}  // namespace korvane::Utils
