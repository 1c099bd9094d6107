#pragma once
// The local API's statistics query (/api/agent/get_statistic): per-product counts of how well
// the camera predicted, by day, month or year. Stateless; called from any number of HTTP worker
// threads at once, each taking the database mutex for its query.

#include <Poco/JSON/Object.h>

#include <mutex>

namespace Poco::Data {
class Session;
}

namespace korvane::Utils {

// Request members: "requestType" ("DAYS", "MONTHS" or "YEARS"), optional "productCode" (empty:
// a summary of every product), "startDate" and "endDate" as DD-MM-YY (defaults "00-00-00" and
// today's UTC date), "limit" (default -1, no limit) and "offset" (default 0).
// Answers {"code":0,"data":[{"code","name","predictionDataList":[...]}...]}; a missing or unknown
// "requestType" answers {"code":-6200,"data":null}. Another member that does not convert throws
// InvalidRequest; database failures propagate.
Poco::JSON::Object::Ptr process_get_statistic(const Poco::JSON::Object::Ptr& body,
                                              std::mutex& dbMutex, Poco::Data::Session& session);

}  // namespace korvane::Utils
