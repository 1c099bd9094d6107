#include "queue_queries.h"

#include <Poco/Data/Statement.h>

#include <climits>

#include "query_rows.h"

namespace korvane::Utils::Queries {

using Poco::Data::Keywords::bind;
using Poco::Data::Keywords::into;
using Poco::Data::Keywords::limit;
using Poco::Data::Keywords::now;

namespace {

constexpr std::size_t kMaxPredictedProducts = 5;

}  // namespace

int productCodeToInt(const std::string& text) {
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + (c - '0');
        if (value > INT_MAX) {
            // A code this long is not a number the monitoring service can take; saturate rather
            // than wrap into some other product's code.
            return INT_MAX;
        }
    }
    return static_cast<int>(value);
}

int addRecognitionQueue(Poco::Data::Session& session, const std::string& sid,
                        const std::string& method_of_selection,
                        const std::string& position_relevance, const std::string& product_code,
                        const std::string& product_category, const std::string& product_name,
                        double product_weight, int response_time_ms) {
    int id = 0;
    session << "INSERT INTO recognition_queue (created_at, updated_at, sid, method_of_selection, "
               "position_relevance, product_code, product_category, product_name, "
               "product_weight, response_time_ms) VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, ?, "
               "?, ?, ?, ?, ?, ?, ?) RETURNING id",
        bind(sid), bind(method_of_selection), bind(position_relevance), bind(product_code),
        bind(product_category), bind(product_name), bind(product_weight), bind(response_time_ms),
        into(id), now;
    return id;
}

void addRecognitionValue(Poco::Data::Session& session, const std::string& product_code,
                         const std::string& product_category, const std::string& product_name,
                         double product_rate, int rid, int top) {
    session << "INSERT INTO recognition_values (product_code, product_category, product_name, "
               "product_rate, rid, top, created_at, updated_at) VALUES(?, ?, ?, ?, ?, ?, "
               "CURRENT_TIMESTAMP, CURRENT_TIMESTAMP)",
        bind(product_code), bind(product_category), bind(product_name), bind(product_rate),
        bind(rid), bind(top), now;
}

std::optional<RecognitionQueueEntry> getNextRecognitionQueue(Poco::Data::Session& session) {
    RecognitionQueueEntry entry;
    std::string productCode;
    Poco::Data::Statement select(session);
    // created_at has whole-second resolution; the id keeps entries of one second in order.
    select << "SELECT id, created_at, updated_at, sid, method_of_selection, position_relevance, "
              "product_code, product_category, product_name, product_weight, response_time_ms, "
              "image_url FROM recognition_queue ORDER BY created_at, id LIMIT 1",
        into(entry.id), into(entry.created_at), into(entry.updated_at), into(entry.sid),
        into(entry.method_of_selection), into(entry.position_relevance), into(productCode),
        into(entry.product_category), into(entry.product_name), into(entry.product_weight),
        into(entry.response_time_ms), into(entry.image_url);
    if (select.execute() == 0) {
        return std::nullopt;
    }
    entry.product_code = productCodeToInt(productCode);
    return entry;
}

std::vector<RecognitionValueEntry> getRecognitionValues(Poco::Data::Session& session, int rid) {
    std::vector<RecognitionValueEntry> values;
    RecognitionValueEntry row;
    std::string productCode;
    Poco::Data::Statement select(session);
    select << "SELECT id, created_at, updated_at, product_code, product_category, product_name, "
              "product_rate, rid, top FROM recognition_values WHERE rid = ? ORDER BY top",
        bind(rid), into(row.id), into(row.created_at), into(row.updated_at), into(productCode),
        into(row.product_category), into(row.product_name), into(row.product_rate), into(row.rid),
        into(row.top), limit(1);
    forEachRow(select, [&] {
        row.product_code = productCodeToInt(productCode);
        values.push_back(row);
    });
    return values;
}

void updateImageUrl(Poco::Data::Session& session, const std::string& url, int id) {
    session << "UPDATE recognition_queue SET image_url = ?, updated_at = CURRENT_TIMESTAMP "
               "WHERE id = ?",
        bind(url), bind(id), now;
}

void deleteFromRecognitionQueue(Poco::Data::Session& session, int id) {
    session << "PRAGMA foreign_keys = ON", now;
    // SQLite ignores the pragma inside a transaction, and the monitoring loop may call this
    // inside one; the cascade cannot be relied on, so the candidate rows go explicitly.
    session << "DELETE FROM recognition_values WHERE rid = ?", bind(id), now;
    session << "DELETE FROM recognition_queue WHERE id = ?", bind(id), now;
}

void addPrediction(Poco::Data::Session& session, const std::string& sid, int response_time_ms,
                   const std::vector<PredictedProduct>& products) {
    std::string tops[kMaxPredictedProducts];
    double rates[kMaxPredictedProducts] = {};
    for (std::size_t i = 0; i < products.size() && i < kMaxPredictedProducts; ++i) {
        tops[i] = products[i].first;
        rates[i] = products[i].second;
    }
    // A camera may hand out the same sid again; the feedback must then find exactly one
    // prediction, the latest.
    deletePrediction(session, sid);
    session << "INSERT INTO predictions (created_at, updated_at, sid, response_time_ms, top1, "
               "rate1, top2,rate2, top3,rate3, top4,rate4, top5, rate5) "
               "VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP,?,?, ?, ?, ?, ?, ?,?, ?, ?, ?, ? )",
        bind(sid), bind(response_time_ms), bind(tops[0]), bind(rates[0]), bind(tops[1]),
        bind(rates[1]), bind(tops[2]), bind(rates[2]), bind(tops[3]), bind(rates[3]), bind(tops[4]),
        bind(rates[4]), now;
}

Prediction getPrediction(Poco::Data::Session& session, const std::string& sid) {
    Prediction prediction;
    std::string tops[kMaxPredictedProducts];
    double rates[kMaxPredictedProducts] = {};
    Poco::Data::Statement select(session);
    // Databases written before predictions were replaced per sid may hold several rows.
    select << "SELECT response_time_ms,top1,rate1,top2,rate2,top3,rate3,top4,rate4,top5,rate5 "
              "FROM predictions WHERE sid = ? ORDER BY id DESC LIMIT 1",
        bind(sid), into(prediction.response_time_ms), into(tops[0]), into(rates[0]), into(tops[1]),
        into(rates[1]), into(tops[2]), into(rates[2]), into(tops[3]), into(rates[3]), into(tops[4]),
        into(rates[4]);
    if (select.execute() == 0) {
        return {};
    }
    for (std::size_t i = 0; i < kMaxPredictedProducts; ++i) {
        if (!tops[i].empty()) {
            prediction.products.emplace_back(tops[i], rates[i]);
        }
    }
    return prediction;
}

void deletePrediction(Poco::Data::Session& session, const std::string& sid) {
    session << "DELETE FROM predictions WHERE sid =?", bind(sid), now;
}

void deletePrediction(Poco::Data::Session& session) {
    session << "DELETE FROM predictions WHERE created_at < datetime('now', '-10 minutes')", now;
}

int addAlertQueue(Poco::Data::Session& session, int code, const std::string& description) {
    int id = 0;
    session << "INSERT INTO alert_queue (created_at, updated_at, code, description) "
               "VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, ?, ?) RETURNING id",
        bind(code), bind(description), into(id), now;
    return id;
}

std::optional<AlertQueueEntry> getNextAlertQueue(Poco::Data::Session& session) {
    AlertQueueEntry entry;
    Poco::Data::Statement select(session);
    select << "SELECT id, created_at, updated_at, code, description FROM alert_queue "
              "ORDER BY created_at, id LIMIT 1",
        into(entry.id), into(entry.created_at), into(entry.updated_at), into(entry.code),
        into(entry.description);
    if (select.execute() == 0) {
        return std::nullopt;
    }
    return entry;
}

void deleteFromAlertQueue(Poco::Data::Session& session, int id) {
    session << "DELETE FROM alert_queue WHERE id = ?", bind(id), now;
}

std::map<std::string, int> getCountDataSend(Poco::Data::Session& session) {
    int alerts = 0;
    int recognitions = 0;
    session << "SELECT (SELECT COUNT(*) FROM alert_queue aq), (SELECT COUNT(*) FROM "
               "recognition_queue rq) LIMIT 1",
        into(alerts), into(recognitions), now;
    return {{"alert_count", alerts}, {"recognition_count", recognitions}};
}

}  // namespace korvane::Utils::Queries
