#include "statistic_handler.h"

#include <Poco/Data/Session.h>
#include <Poco/Data/Transaction.h>
#include <Poco/JSON/Array.h>

#include <optional>
#include <string>
#include <vector>

#include "invalid_request.h"
#include "logger.h"
#include "request_body.h"
#include "responses.h"
#include "statistic_queries.h"

namespace korvane::Utils {

namespace {

constexpr int kBadRequest = -6200;
constexpr int kNoLimit = -1;

int intOr(const Poco::JSON::Object::Ptr& body, const RequestBody& fields, const std::string& key,
          int fallback) {
    return body->has(key) ? fields.required<int>(key) : fallback;
}

// The counters of one row; the per-product form adds the row's date.
Poco::JSON::Object::Ptr counters(const Queries::StatisticData& row) {
    Poco::JSON::Object::Ptr entry = new Poco::JSON::Object;
    entry->set("position1Count", row.top_1_count);
    entry->set("position2Count", row.top_2_count);
    entry->set("position3Count", row.top_3_count);
    entry->set("position4Count", row.top_4_count);
    entry->set("position5Count", row.top_5_count);
    entry->set("weightingsCount", row.weightings_count);
    entry->set("processedUnknownPredictionCount", row.processed_unknown_prediction_count);
    entry->set("processedWithoutPredictionCount", row.processed_without_prediction_count);
    entry->set("processedWithPredictionCount", row.processed_with_prediction_count);
    return entry;
}

Poco::JSON::Object::Ptr product(const std::string& code, const Poco::JSON::Array::Ptr& list) {
    Poco::JSON::Object::Ptr object = new Poco::JSON::Object;
    object->set("code", code);
    object->set("name", "");
    object->set("predictionDataList", list);
    return object;
}

// One product with a dated entry per period row.
Poco::JSON::Array::Ptr productHistory(const std::string& productCode,
                                      const std::vector<Queries::StatisticData>& rows) {
    Poco::JSON::Array::Ptr list = new Poco::JSON::Array;
    for (const auto& row : rows) {
        auto entry = counters(row);
        entry->set("date", row.key);
        list->add(entry);
    }
    Poco::JSON::Array::Ptr data = new Poco::JSON::Array;
    data->add(product(productCode, list));
    return data;
}

// One product per row, each with its summed counters.
Poco::JSON::Array::Ptr summary(const std::vector<Queries::StatisticData>& rows) {
    Poco::JSON::Array::Ptr data = new Poco::JSON::Array;
    for (const auto& row : rows) {
        Poco::JSON::Array::Ptr list = new Poco::JSON::Array;
        list->add(counters(row));
        data->add(product(row.key, list));
    }
    return data;
}

}  // namespace

Poco::JSON::Object::Ptr process_get_statistic(const Poco::JSON::Object::Ptr& body,
                                              std::mutex& dbMutex, Poco::Data::Session& session) {
    const RequestBody fields(body);
    std::optional<Queries::StatisticPeriod> period;
    try {
        const auto requestType = fields.required<std::string>("requestType");
        period = Queries::statisticPeriodFromRequestType(requestType);
        if (!period) {
            // Without a period there is no table to read.
            Log()->warn("get_statistic(): unknown requestType: {};", requestType);
            return get_empty_response(kBadRequest);
        }
    } catch (const InvalidRequest& e) {
        Log()->warn("get_statistic(): {};", e.what());
        return get_empty_response(kBadRequest);
    }
    const auto productCode = fields.optional<std::string>("productCode").value_or("");
    const auto startDate = fields.optional<std::string>("startDate").value_or("00-00-00");
    const auto endDate =
        fields.optional<std::string>("endDate").value_or(Queries::todayStatisticDate());
    const int limit = intOr(body, fields, "limit", kNoLimit);
    const int offset = intOr(body, fields, "offset", 0);

    std::vector<Queries::StatisticData> rows;
    {
        std::lock_guard<std::mutex> lock(dbMutex);
        Poco::Data::Transaction transaction(session);
        rows = productCode.empty()
                   ? Queries::getStatistic(session, *period, startDate, endDate, limit, offset)
                   : Queries::getStatistic(session, productCode, *period, startDate, endDate, limit,
                                           offset);
        transaction.commit();
    }
    return make_response(0,
                         productCode.empty() ? summary(rows) : productHistory(productCode, rows));
}

}  // namespace korvane::Utils
