#include "statistic_queries.h"

#include <array>
#include <ctime>
#include <stdexcept>
#include <utility>

#include "prepared_statement.h"

namespace korvane::Utils::Queries {

using Engine::DB::PreparedStatement;

namespace {

const char* const kRangeCondition =
    "date >= format(?, substr(?, 7, 2), substr(?, 4, 2), substr(?, 1, 2)) AND date <= "
    "format(?, substr(?, 7, 2), substr(?, 4, 2), substr(?, 1, 2))";

// A period's table with the statements that name it, assembled once.
struct PeriodTable {
    PeriodTable(const char* table, const char* dateFormat, const char* startPattern,
                const char* endPattern)
        : dateFormat(dateFormat),
          startPattern(startPattern),
          endPattern(endPattern),
          insert(std::string("INSERT INTO ") + table +
                 "(created_at, updated_at, date, product_id, weightings_count, top_1_count, "
                 "top_2_count, top_3_count, top_4_count, top_5_count, "
                 "processed_with_prediction_count, processed_without_prediction_count, "
                 "processed_unknown_prediction_count) VALUES(CURRENT_TIMESTAMP, "
                 "CURRENT_TIMESTAMP, strftime(?), ?, 1, ?, ?, ?, ?, ?, ?, ?,?);"),
          update(std::string("UPDATE ") + table +
                 " SET weightings_count = weightings_count+1, top_1_count=top_1_count+?, "
                 "top_2_count=top_2_count+?, top_3_count=top_3_count+?, "
                 "top_4_count=top_4_count+?, top_5_count=top_5_count+?, "
                 "processed_with_prediction_count=processed_with_prediction_count+?, "
                 "processed_without_prediction_count = processed_without_prediction_count+?, "
                 "processed_unknown_prediction_count = processed_unknown_prediction_count+? "
                 "WHERE id= ?"),
          productRange(std::string("SELECT strftime('%d-%m-', date) || substr(strftime('%Y', "
                                   "date),3, 2), weightings_count, top_1_count, top_2_count, "
                                   "top_3_count, top_4_count, top_5_count, "
                                   "processed_with_prediction_count, "
                                   "processed_without_prediction_count, "
                                   "processed_unknown_prediction_count FROM ") +
                       table + " WHERE product_id = ? AND " + kRangeCondition +
                       " ORDER BY created_at LIMIT ? OFFSET ?;"),
          summaryRange(std::string("SELECT product_id, SUM(weightings_count), SUM(top_1_count), "
                                   "SUM(top_2_count), SUM(top_3_count), SUM(top_4_count), "
                                   "SUM(top_5_count), SUM(processed_with_prediction_count), "
                                   "SUM(processed_without_prediction_count), "
                                   "SUM(processed_unknown_prediction_count) FROM ") +
                       table + " WHERE " + kRangeCondition +
                       " GROUP BY product_id ORDER BY product_id LIMIT ? OFFSET ?;") {}

    const char* dateFormat;    // strftime format of the period's first day
    const char* startPattern;  // format() patterns of a range bound from year, month, day
    const char* endPattern;
    std::string insert;
    std::string update;
    std::string productRange;
    std::string summaryRange;
};

const PeriodTable& periodTable(StatisticPeriod period) {
    static const PeriodTable kDaily{"prediction_daily", "%Y-%m-%d", "20%02s-%02s-%02s",
                                    "20%02s-%02s-%02s"};
    static const PeriodTable kMonthly{"prediction_monthly", "%Y-%m-01", "20%02s-%02s-01",
                                      "20%02s-%02s-31"};
    static const PeriodTable kYearly{"prediction_yearly", "%Y-01-01", "20%02s-01-01",
                                     "20%02s-12-31"};
    switch (period) {
        case StatisticPeriod::Daily:
            return kDaily;
        case StatisticPeriod::Monthly:
            return kMonthly;
        case StatisticPeriod::Yearly:
            return kYearly;
    }
    throw std::invalid_argument("unknown statistic period");
}

// Five position flags followed by the three kind flags (with, without, unknown).
std::array<int, 8> counterFlags(const std::string& position, const std::string& kind) {
    std::array<int, 8> flags{};
    for (int n = 1; n <= 5; ++n) {
        flags[n - 1] = position == "top" + std::to_string(n) ? 1 : 0;
    }
    const bool with = kind == "with_prediction";
    const bool without = kind == "without_prediction";
    flags[5] = with ? 1 : 0;
    flags[6] = without ? 1 : 0;
    flags[7] = !with && !without ? 1 : 0;
    return flags;
}

// Both report forms read the key and then the same ten counters, binding the range after
// `first` parameters of their own.
std::vector<StatisticData> fetchStatistic(PreparedStatement& select, int first,
                                          const PeriodTable& table, const std::string& startDate,
                                          const std::string& endDate, int rowLimit, int offset) {
    // Each bound: its pattern, then the date once for each of year, month and day.
    const std::pair<const char*, const std::string*> bounds[] = {{table.startPattern, &startDate},
                                                                 {table.endPattern, &endDate}};
    int index = first;
    for (const auto& [pattern, date] : bounds) {
        select.bind(++index, pattern);
        for (int piece = 0; piece < 3; ++piece) select.bind(++index, *date);
    }
    select.bind(++index, rowLimit);
    select.bind(++index, offset);

    std::vector<StatisticData> rows;
    while (select.step()) {
        StatisticData& row = rows.emplace_back();
        row.key = select.textColumn(0);
        row.weightings_count = select.intColumn(1);
        row.top_1_count = select.intColumn(2);
        row.top_2_count = select.intColumn(3);
        row.top_3_count = select.intColumn(4);
        row.top_4_count = select.intColumn(5);
        row.top_5_count = select.intColumn(6);
        row.processed_with_prediction_count = select.intColumn(7);
        row.processed_without_prediction_count = select.intColumn(8);
        row.processed_unknown_prediction_count = select.intColumn(9);
    }
    return rows;
}

}  // namespace

std::optional<StatisticPeriod> statisticPeriodFromRequestType(const std::string& requestType) {
    if (requestType == "DAYS") {
        return StatisticPeriod::Daily;
    }
    if (requestType == "MONTHS") {
        return StatisticPeriod::Monthly;
    }
    if (requestType == "YEARS") {
        return StatisticPeriod::Yearly;
    }
    return std::nullopt;
}

std::string todayStatisticDate() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[16];
    const std::size_t length = std::strftime(text, sizeof text, "%d-%m-%y", &utc);
    return std::string(text, length);
}

StatisticIds getStatiscticIds(Poco::Data::Session& session, const std::string& product_id) {
    PreparedStatement select(
        session,
        "SELECT COALESCE(pd.id, 0) as daily_id, COALESCE(pm.id, 0) as monthly_id, "
        "COALESCE(py.id, 0) as yearly_id FROM (SELECT 1) as dummy "
        "LEFT JOIN prediction_daily pd ON pd.product_id = ? AND strftime('%d-%m-%Y', pd.date) = "
        "strftime('%d-%m-%Y', datetime('now')) "
        "LEFT JOIN prediction_monthly pm ON pm.product_id = ? AND strftime('%m-%Y', pm.date) = "
        "strftime('%m-%Y', datetime('now')) "
        "LEFT JOIN prediction_yearly py ON py.product_id = ? AND strftime('%Y', py.date) = "
        "strftime('%Y', datetime('now')) LIMIT 1");
    select.bindAll(product_id, product_id, product_id);
    StatisticIds ids;
    if (select.step()) {
        ids.daily = select.intColumn(0);
        ids.monthly = select.intColumn(1);
        ids.yearly = select.intColumn(2);
    }
    return ids;
}

void addStatistic(Poco::Data::Session& session, const std::string& product_id,
                  StatisticPeriod period, const std::string& position, const std::string& kind) {
    const PeriodTable& table = periodTable(period);
    const auto f = counterFlags(position, kind);
    PreparedStatement(session, table.insert)
        .bindAll(table.dateFormat, product_id, f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7])
        .run();
}

void updateStatistic(Poco::Data::Session& session, int id, StatisticPeriod period,
                     const std::string& position, const std::string& kind) {
    const PeriodTable& table = periodTable(period);
    const auto f = counterFlags(position, kind);
    PreparedStatement(session, table.update)
        .bindAll(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], id)
        .run();
}

void clearStatisticDays(Poco::Data::Session& session) {
    PreparedStatement(session,
                      "DELETE FROM prediction_daily WHERE created_at < datetime('now', '-12 "
                      "months')")
        .run();
}

void clearStatisticMonths(Poco::Data::Session& session) {
    PreparedStatement(session,
                      "DELETE FROM prediction_monthly WHERE created_at < datetime('now', '-12 "
                      "months')")
        .run();
}

void clearStatisticYears(Poco::Data::Session& session) {
    PreparedStatement(session,
                      "DELETE FROM prediction_yearly WHERE created_at < datetime('now', '-60 "
                      "months')")
        .run();
}

void recordStatistic(Poco::Data::Session& session, const std::string& product_id,
                     const std::string& position, const std::string& kind) {
    const StatisticIds ids = getStatiscticIds(session, product_id);
    const std::pair<StatisticPeriod, int> periods[] = {{StatisticPeriod::Daily, ids.daily},
                                                       {StatisticPeriod::Monthly, ids.monthly},
                                                       {StatisticPeriod::Yearly, ids.yearly}};
    for (const auto& [period, id] : periods) {
        if (id != 0) {
            updateStatistic(session, id, period, position, kind);
        } else {
            addStatistic(session, product_id, period, position, kind);
        }
    }
    clearStatisticDays(session);
    clearStatisticMonths(session);
    clearStatisticYears(session);
}

std::vector<StatisticData> getStatistic(Poco::Data::Session& session, const std::string& product_id,
                                        StatisticPeriod period, const std::string& startDate,
                                        const std::string& endDate, int limit, int offset) {
    const PeriodTable& table = periodTable(period);
    PreparedStatement select(session, table.productRange);
    select.bind(1, product_id);
    return fetchStatistic(select, 1, table, startDate, endDate, limit, offset);
}

std::vector<StatisticData> getStatistic(Poco::Data::Session& session, StatisticPeriod period,
                                        const std::string& startDate, const std::string& endDate,
                                        int limit, int offset) {
    const PeriodTable& table = periodTable(period);
    PreparedStatement select(session, table.summaryRange);
    return fetchStatistic(select, 0, table, startDate, endDate, limit, offset);
}

}  // namespace korvane::Utils::Queries
