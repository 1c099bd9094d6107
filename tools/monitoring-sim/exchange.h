// The simulator's view of one HTTP exchange: the request as received (raw target, decoded
// segments and query, headers, body) and the reply a route builds. Plain values, built on the
// serving thread and never shared.
#pragma once

#include <boost/json/value.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "monitoring_simulator.h"

namespace korvane::MonitoringSim {

struct Exchange {
    std::string method;
    std::string target;                 // raw, as received
    std::vector<std::string> segments;  // decoded; empty segments kept (except the leading one)
    NameValues query;
    NameValues headers;
    std::string body;
    std::string contentType;
    std::string bearerToken;

    bool hasJsonBody() const;
};

struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers = {};
};

// Percent-decodes text; with plusIsSpace a "+" becomes a space (form and query encoding).
std::string percentDecode(std::string_view text, bool plusIsSpace);
// "a=1&b=2" into decoded pairs in order; a field without "=" gets an empty value.
NameValues parsePairs(std::string_view text);
// Splits the raw target into its decoded path segments and query pairs.
void splitTarget(const std::string& target, std::vector<std::string>& segments, NameValues& query);
// First value of that name (case-sensitive for query and form, see headerValue for headers).
const std::string* findValue(const NameValues& pairs, const std::string& name);
std::string headerValue(const NameValues& headers, const std::string& name);

Reply jsonReply(int status, const boost::json::value& value);
// {"code": code, "message": message}: how the service explains a refusal.
Reply errorReply(int status, const std::string& code, const std::string& message);
Reply emptyReply(int status);

}  // namespace korvane::MonitoringSim
