#include "store_floor.h"

#include <sqlite3.h>

#include <array>
#include <chrono>
#include <memory>
#include <stdexcept>

namespace korvane::FeedbackLoad {

namespace {

using Clock = std::chrono::steady_clock;

// A prepared statement, reused for every pair: the floor pays for no parsing.
class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql) : db_(db), sql_(sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
            throw std::runtime_error("cannot prepare \"" + sql + "\": " + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, const std::string& text) {
        sqlite3_bind_text(statement_, index, text.c_str(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int index, double value) {
        sqlite3_bind_double(statement_, index, value);
        return *this;
    }
    Statement& bind(int index, int value) {
        sqlite3_bind_int(statement_, index, value);
        return *this;
    }
    // Runs the statement to its end; the first column of the first row, when it has one, is
    // left in *first.
    void run(sqlite3_int64* first = nullptr) {
        int step;
        bool seen = false;
        while ((step = sqlite3_step(statement_)) == SQLITE_ROW) {
            if (first && !seen) *first = sqlite3_column_int64(statement_, 0);
            seen = true;
        }
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
        if (step != SQLITE_DONE) {
            throw std::runtime_error("\"" + sql_ + "\" failed: " + sqlite3_errmsg(db_));
        }
    }
    // The three columns of the single row (statistic ids).
    std::array<sqlite3_int64, 3> runTriple() {
        std::array<sqlite3_int64, 3> values{};
        int step;
        while ((step = sqlite3_step(statement_)) == SQLITE_ROW) {
            for (int c = 0; c < 3; ++c) values[c] = sqlite3_column_int64(statement_, c);
        }
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
        if (step != SQLITE_DONE) {
            throw std::runtime_error("\"" + sql_ + "\" failed: " + sqlite3_errmsg(db_));
        }
        return values;
    }

  private:
    sqlite3* db_;
    std::string sql_;
    sqlite3_stmt* statement_ = nullptr;
};

void execute(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("\"" + sql + "\" failed: " + message);
    }
}

std::string pragmaText(sqlite3* db, const std::string& pragma) {
    std::string value;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, ("PRAGMA " + pragma).c_str(), -1, &statement, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(statement, 0);
        value = text ? reinterpret_cast<const char*>(text) : "";
    }
    sqlite3_finalize(statement);
    return value;
}

constexpr const char* kPeriodTables[] = {"prediction_daily", "prediction_monthly",
                                         "prediction_yearly"};
constexpr const char* kPeriodDates[] = {"%Y-%m-%d", "%Y-%m-01", "%Y-01-01"};

// The statements of one pair, as the Agent's queries word them.
struct PairStatements {
    explicit PairStatements(sqlite3* db)
        : deleteStale(db,
                      "DELETE FROM predictions WHERE created_at < datetime('now', '-10 "
                      "minutes')"),
          deletePrediction(db, "DELETE FROM predictions WHERE sid =?"),
          addPrediction(db,
                        "INSERT INTO predictions (created_at, updated_at, sid, response_time_ms, "
                        "top1, rate1, top2,rate2, top3,rate3, top4,rate4, top5, rate5) "
                        "VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP,?,?, ?, ?, ?, ?, ?,?, ?, ?, "
                        "?, ? )"),
          getPrediction(db,
                        "SELECT response_time_ms,top1,rate1,top2,rate2,top3,rate3,top4,rate4,"
                        "top5,rate5 FROM predictions WHERE sid = ? ORDER BY id DESC LIMIT 1"),
          addQueue(db,
                   "INSERT INTO recognition_queue (created_at, updated_at, sid, "
                   "method_of_selection, position_relevance, product_code, product_category, "
                   "product_name, product_weight, response_time_ms) VALUES(CURRENT_TIMESTAMP, "
                   "CURRENT_TIMESTAMP, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id"),
          addValue(db,
                   "INSERT INTO recognition_values (product_code, product_category, "
                   "product_name, product_rate, rid, top, created_at, updated_at) VALUES(?, ?, "
                   "?, ?, ?, ?, CURRENT_TIMESTAMP, CURRENT_TIMESTAMP)"),
          statisticIds(
              db,
              "SELECT COALESCE(pd.id, 0) as daily_id, COALESCE(pm.id, 0) as monthly_id, "
              "COALESCE(py.id, 0) as yearly_id FROM (SELECT 1) as dummy LEFT JOIN "
              "prediction_daily pd ON pd.product_id = ? AND strftime('%d-%m-%Y', pd.date) = "
              "strftime('%d-%m-%Y', datetime('now')) LEFT JOIN prediction_monthly pm ON "
              "pm.product_id = ? AND strftime('%m-%Y', pm.date) = strftime('%m-%Y', "
              "datetime('now')) LEFT JOIN prediction_yearly py ON py.product_id = ? AND "
              "strftime('%Y', py.date) = strftime('%Y', datetime('now')) LIMIT 1"),
          clearDays(db,
                    "DELETE FROM prediction_daily WHERE created_at < datetime('now', '-12 "
                    "months')"),
          clearMonths(db,
                      "DELETE FROM prediction_monthly WHERE created_at < datetime('now', '-12 "
                      "months')"),
          clearYears(db,
                     "DELETE FROM prediction_yearly WHERE created_at < datetime('now', '-60 "
                     "months')") {
        for (int p = 0; p < 3; ++p) {
            addStatistic[p] = std::make_unique<Statement>(
                db, std::string("INSERT INTO ") + kPeriodTables[p] +
                        "(created_at, updated_at, date, product_id, weightings_count, "
                        "top_1_count, top_2_count, top_3_count, top_4_count, top_5_count, "
                        "processed_with_prediction_count, processed_without_prediction_count, "
                        "processed_unknown_prediction_count) VALUES(CURRENT_TIMESTAMP, "
                        "CURRENT_TIMESTAMP, strftime(?), ?, 1, ?, ?, ?, ?, ?, ?, ?,?);");
            updateStatistic[p] = std::make_unique<Statement>(
                db, std::string("UPDATE ") + kPeriodTables[p] +
                        " SET weightings_count = weightings_count+1, top_1_count=top_1_count+?, "
                        "top_2_count=top_2_count+?, top_3_count=top_3_count+?, "
                        "top_4_count=top_4_count+?, top_5_count=top_5_count+?, "
                        "processed_with_prediction_count=processed_with_prediction_count+?, "
                        "processed_without_prediction_count = "
                        "processed_without_prediction_count+?, "
                        "processed_unknown_prediction_count = "
                        "processed_unknown_prediction_count+? WHERE id= ?");
        }
    }

    Statement deleteStale, deletePrediction, addPrediction, getPrediction, addQueue, addValue,
        statisticIds, clearDays, clearMonths, clearYears;
    std::unique_ptr<Statement> addStatistic[3], updateStatistic[3];
};

}  // namespace

StoreFloor::StoreFloor(Options options) : options_(std::move(options)) {
    if (sqlite3_open_v2(options_.database.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) !=
        SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot open " + options_.database + ": " + message);
    }
    // The Agent's session waits up to 60 s for a lock, too.
    sqlite3_busy_timeout(db_, 60000);
    if (!options_.journalMode.empty()) execute(db_, "PRAGMA journal_mode=" + options_.journalMode);
    if (!options_.synchronous.empty()) execute(db_, "PRAGMA synchronous=" + options_.synchronous);
}

StoreFloor::~StoreFloor() {
    sqlite3_close(db_);
}

StoreFloor::Result StoreFloor::run() {
    PairStatements s(db_);
    Result result;
    result.journalMode = pragmaText(db_, "journal_mode");
    result.synchronous = std::stoi(pragmaText(db_, "synchronous"));
    const auto& candidates = options_.candidates;
    const std::string runTag = std::to_string(Clock::now().time_since_epoch().count());

    const auto begin = Clock::now();
    for (int index = 0; index < options_.pairs; ++index) {
        const std::string sid = "F" + runTag + "-" + std::to_string(index);
        const auto pick = static_cast<std::size_t>(index) % (candidates.size() + 1);
        const std::string id = pick < candidates.size() ? candidates[pick] : "99999";
        const std::string position =
            pick < candidates.size() ? "top" + std::to_string(pick + 1) : "top_not_in_top5";

        const auto predictionBegin = Clock::now();
        execute(db_, "BEGIN");
        s.deleteStale.run();
        s.deletePrediction.bind(1, sid).run();
        s.addPrediction.bind(1, sid).bind(2, 3);
        for (int n = 0; n < 5; ++n) {
            const bool has = static_cast<std::size_t>(n) < candidates.size();
            s.addPrediction.bind(3 + 2 * n, has ? candidates[n] : std::string())
                .bind(4 + 2 * n, has ? 0.9 - 0.1 * n : 0.0);
        }
        s.addPrediction.run();
        execute(db_, "COMMIT");

        const auto feedbackBegin = Clock::now();
        execute(db_, "BEGIN");
        s.getPrediction.bind(1, sid).run();
        sqlite3_int64 rid = 0;
        s.addQueue.bind(1, sid)
            .bind(2, std::string("recognition"))
            .bind(3, position)
            .bind(4, id)
            .bind(5, std::string())
            .bind(6, std::string())
            .bind(7, 0.315)
            .bind(8, 3)
            .run(&rid);
        for (std::size_t n = 0; n < candidates.size(); ++n) {
            s.addValue.bind(1, candidates[n])
                .bind(2, std::string())
                .bind(3, std::string())
                .bind(4, 0.9 - 0.1 * static_cast<double>(n))
                .bind(5, static_cast<int>(rid))
                .bind(6, static_cast<int>(n + 1))
                .run();
        }
        s.deletePrediction.bind(1, sid).run();
        const auto ids = s.statisticIds.bind(1, id).bind(2, id).bind(3, id).runTriple();
        int flags[8] = {};
        if (pick < candidates.size()) flags[pick] = 1;
        flags[5] = 1;  // "recognition" counts as processed with prediction
        for (int p = 0; p < 3; ++p) {
            Statement& statement = ids[p] != 0 ? *s.updateStatistic[p] : *s.addStatistic[p];
            int at = 1;
            if (ids[p] == 0) {
                statement.bind(1, std::string(kPeriodDates[p])).bind(2, id);
                at = 3;
            }
            for (int flag : flags) statement.bind(at++, flag);
            if (ids[p] != 0) statement.bind(at, static_cast<int>(ids[p]));
            statement.run();
        }
        s.clearDays.run();
        s.clearMonths.run();
        s.clearYears.run();
        execute(db_, "COMMIT");
        const auto end = Clock::now();

        result.prediction.add(feedbackBegin - predictionBegin);
        result.feedback.add(end - feedbackBegin);
        result.pair.add(end - predictionBegin);
        ++result.pairs;
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    return result;
}

}  // namespace korvane::FeedbackLoad
