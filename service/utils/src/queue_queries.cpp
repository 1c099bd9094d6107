#include "queue_queries.h"

#include <climits>
#include <stdexcept>

#include "prepared_statement.h"

namespace korvane::Utils::Queries {

using Engine::DB::PreparedStatement;

namespace {

constexpr std::size_t kMaxPredictedProducts = 5;

// The id an INSERT ... RETURNING id answers; the statement is stepped to its end.
int insertedId(PreparedStatement& insert) {
    if (!insert.step()) {
        throw std::runtime_error("INSERT returned no id");
    }
    const int id = insert.intColumn(0);
    insert.run();
    return id;
}

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
    PreparedStatement insert(
        session,
        "INSERT INTO recognition_queue (created_at, updated_at, sid, method_of_selection, "
        "position_relevance, product_code, product_category, product_name, product_weight, "
        "response_time_ms) VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, ?, ?, ?, ?, ?, ?, ?, ?) "
        "RETURNING id");
    insert.bindAll(sid, method_of_selection, position_relevance, product_code, product_category,
                   product_name, product_weight, response_time_ms);
    return insertedId(insert);
}

void addRecognitionValue(Poco::Data::Session& session, const std::string& product_code,
                         const std::string& product_category, const std::string& product_name,
                         double product_rate, int rid, int top) {
    PreparedStatement(session,
                      "INSERT INTO recognition_values (product_code, product_category, "
                      "product_name, product_rate, rid, top, created_at, updated_at) VALUES(?, ?, "
                      "?, ?, ?, ?, CURRENT_TIMESTAMP, CURRENT_TIMESTAMP)")
        .bindAll(product_code, product_category, product_name, product_rate, rid, top)
        .run();
}

std::optional<RecognitionQueueEntry> getNextRecognitionQueue(Poco::Data::Session& session) {
    // created_at has whole-second resolution; the id keeps entries of one second in order.
    PreparedStatement select(
        session,
        "SELECT id, created_at, updated_at, sid, method_of_selection, position_relevance, "
        "product_code, product_category, product_name, product_weight, response_time_ms, "
        "image_url FROM recognition_queue ORDER BY created_at, id LIMIT 1");
    if (!select.step()) {
        return std::nullopt;
    }
    RecognitionQueueEntry entry;
    entry.id = select.intColumn(0);
    entry.created_at = select.textColumn(1);
    entry.updated_at = select.textColumn(2);
    entry.sid = select.textColumn(3);
    entry.method_of_selection = select.textColumn(4);
    entry.position_relevance = select.textColumn(5);
    entry.product_code = productCodeToInt(select.textColumn(6));
    entry.product_category = select.textColumn(7);
    entry.product_name = select.textColumn(8);
    entry.product_weight = select.doubleColumn(9);
    entry.response_time_ms = select.intColumn(10);
    entry.image_url = select.textColumn(11);
    return entry;
}

std::vector<RecognitionValueEntry> getRecognitionValues(Poco::Data::Session& session, int rid) {
    PreparedStatement select(
        session,
        "SELECT id, created_at, updated_at, product_code, product_category, product_name, "
        "product_rate, rid, top FROM recognition_values WHERE rid = ? ORDER BY top");
    select.bindAll(rid);
    std::vector<RecognitionValueEntry> values;
    while (select.step()) {
        RecognitionValueEntry& row = values.emplace_back();
        row.id = select.intColumn(0);
        row.created_at = select.textColumn(1);
        row.updated_at = select.textColumn(2);
        row.product_code = productCodeToInt(select.textColumn(3));
        row.product_category = select.textColumn(4);
        row.product_name = select.textColumn(5);
        row.product_rate = select.doubleColumn(6);
        row.rid = select.intColumn(7);
        row.top = select.intColumn(8);
    }
    return values;
}

void updateImageUrl(Poco::Data::Session& session, const std::string& url, int id) {
    PreparedStatement(session,
                      "UPDATE recognition_queue SET image_url = ?, updated_at = CURRENT_TIMESTAMP "
                      "WHERE id = ?")
        .bindAll(url, id)
        .run();
}

void deleteFromRecognitionQueue(Poco::Data::Session& session, int id) {
    PreparedStatement(session, "PRAGMA foreign_keys = ON").run();
    // SQLite ignores the pragma inside a transaction, and the monitoring loop may call this
    // inside one; the cascade cannot be relied on, so the candidate rows go explicitly.
    PreparedStatement(session, "DELETE FROM recognition_values WHERE rid = ?").bindAll(id).run();
    PreparedStatement(session, "DELETE FROM recognition_queue WHERE id = ?").bindAll(id).run();
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
    PreparedStatement(session,
                      "INSERT INTO predictions (created_at, updated_at, sid, response_time_ms, "
                      "top1, rate1, top2,rate2, top3,rate3, top4,rate4, top5, rate5) "
                      "VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP,?,?, ?, ?, ?, ?, ?,?, ?, ?, "
                      "?, ? )")
        .bindAll(sid, response_time_ms, tops[0], rates[0], tops[1], rates[1], tops[2], rates[2],
                 tops[3], rates[3], tops[4], rates[4])
        .run();
}

Prediction getPrediction(Poco::Data::Session& session, const std::string& sid) {
    // Databases written before predictions were replaced per sid may hold several rows.
    PreparedStatement select(
        session,
        "SELECT response_time_ms,top1,rate1,top2,rate2,top3,rate3,top4,rate4,top5,rate5 FROM "
        "predictions WHERE sid = ? ORDER BY id DESC LIMIT 1");
    select.bindAll(sid);
    Prediction prediction;
    if (!select.step()) {
        return prediction;
    }
    prediction.response_time_ms = select.intColumn(0);
    for (int i = 0; i < static_cast<int>(kMaxPredictedProducts); ++i) {
        std::string top = select.textColumn(1 + 2 * i);
        if (!top.empty()) {
            prediction.products.emplace_back(std::move(top), select.doubleColumn(2 + 2 * i));
        }
    }
    return prediction;
}

void deletePrediction(Poco::Data::Session& session, const std::string& sid) {
    PreparedStatement(session, "DELETE FROM predictions WHERE sid =?").bindAll(sid).run();
}

void deletePrediction(Poco::Data::Session& session) {
    PreparedStatement(session,
                      "DELETE FROM predictions WHERE created_at < datetime('now', '-10 minutes')")
        .run();
}

int addAlertQueue(Poco::Data::Session& session, int code, const std::string& description) {
    PreparedStatement insert(session,
                             "INSERT INTO alert_queue (created_at, updated_at, code, description) "
                             "VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, ?, ?) RETURNING id");
    insert.bindAll(code, description);
    return insertedId(insert);
}

std::optional<AlertQueueEntry> getNextAlertQueue(Poco::Data::Session& session) {
    PreparedStatement select(session,
                             "SELECT id, created_at, updated_at, code, description FROM "
                             "alert_queue ORDER BY created_at, id LIMIT 1");
    if (!select.step()) {
        return std::nullopt;
    }
    AlertQueueEntry entry;
    entry.id = select.intColumn(0);
    entry.created_at = select.textColumn(1);
    entry.updated_at = select.textColumn(2);
    entry.code = select.intColumn(3);
    entry.description = select.textColumn(4);
    return entry;
}

void deleteFromAlertQueue(Poco::Data::Session& session, int id) {
    PreparedStatement(session, "DELETE FROM alert_queue WHERE id = ?").bindAll(id).run();
}

std::map<std::string, int> getCountDataSend(Poco::Data::Session& session) {
    PreparedStatement select(session,
                             "SELECT (SELECT COUNT(*) FROM alert_queue aq), (SELECT COUNT(*) FROM "
                             "recognition_queue rq) LIMIT 1");
    select.step();
    return {{"alert_count", select.intColumn(0)}, {"recognition_count", select.intColumn(1)}};
}

std::vector<QueueStats> getQueueStats(Poco::Data::Session& session) {
    // created_at is the UTC text CURRENT_TIMESTAMP wrote, and indexed, so MIN() reads one row.
    PreparedStatement select(
        session,
        "SELECT 'recognition', COUNT(*), COALESCE(strftime('%s', 'now') - strftime('%s', "
        "MIN(created_at)), 0) FROM recognition_queue UNION ALL SELECT 'alert', COUNT(*), "
        "COALESCE(strftime('%s', 'now') - strftime('%s', MIN(created_at)), 0) FROM alert_queue "
        "UNION ALL SELECT 'dead_letter', COUNT(*), COALESCE(strftime('%s', 'now') - "
        "strftime('%s', MIN(created_at)), 0) FROM (SELECT created_at FROM "
        "dead_letter_recognitions UNION ALL SELECT created_at FROM dead_letter_alerts)");
    std::vector<QueueStats> stats;
    while (select.step()) {
        stats.push_back({select.textColumn(0), select.intColumn(1), select.doubleColumn(2)});
    }
    return stats;
}

}  // namespace korvane::Utils::Queries
