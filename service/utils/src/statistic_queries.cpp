#include "statistic_queries.h"

#include <Poco/Data/Statement.h>

#include <array>
#include <ctime>
#include <stdexcept>
#include <utility>

#include "query_rows.h"

namespace korvane::Utils::Queries {

using Poco::Data::Keywords::bind;
using Poco::Data::Keywords::into;
using Poco::Data::Keywords::limit;
using Poco::Data::Keywords::now;

namespace {

struct PeriodTable {
    const char* table;
    const char* dateFormat;    // strftime format of the period's first day
    const char* startPattern;  // format() patterns of a range bound from year, month, day
    const char* endPattern;
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

// Both report forms read the same ten columns after the key.
void intoStatisticRow(Poco::Data::Statement& select, StatisticData& row) {
    select, into(row.key), into(row.weightings_count), into(row.top_1_count), into(row.top_2_count),
        into(row.top_3_count), into(row.top_4_count), into(row.top_5_count),
        into(row.processed_with_prediction_count), into(row.processed_without_prediction_count),
        into(row.processed_unknown_prediction_count);
}

void bindRange(Poco::Data::Statement& select, const PeriodTable& table,
               const std::string& startDate, const std::string& endDate, int rowLimit, int offset) {
    select, bind(std::string(table.startPattern)), bind(startDate), bind(startDate),
        bind(startDate), bind(std::string(table.endPattern)), bind(endDate), bind(endDate),
        bind(endDate), bind(rowLimit), bind(offset), limit(1);
}

std::vector<StatisticData> fetchStatistic(Poco::Data::Statement& select, StatisticData& row) {
    std::vector<StatisticData> rows;
    forEachRow(select, [&] { rows.push_back(row); });
    return rows;
}

const char* const kRangeCondition =
    "date >= format(?, substr(?, 7, 2), substr(?, 4, 2), substr(?, 1, 2)) AND date <= "
    "format(?, substr(?, 7, 2), substr(?, 4, 2), substr(?, 1, 2))";

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
    StatisticIds ids;
    session << "SELECT COALESCE(pd.id, 0) as daily_id, COALESCE(pm.id, 0) as monthly_id, "
               "COALESCE(py.id, 0) as yearly_id FROM (SELECT 1) as dummy "
               "LEFT JOIN prediction_daily pd ON pd.product_id = ? AND strftime('%d-%m-%Y', "
               "pd.date) = strftime('%d-%m-%Y', datetime('now')) "
               "LEFT JOIN prediction_monthly pm ON pm.product_id = ? AND strftime('%m-%Y', "
               "pm.date) = strftime('%m-%Y', datetime('now')) "
               "LEFT JOIN prediction_yearly py ON py.product_id = ? AND strftime('%Y', py.date) "
               "= strftime('%Y', datetime('now')) LIMIT 1",
        bind(product_id), bind(product_id), bind(product_id), into(ids.daily), into(ids.monthly),
        into(ids.yearly), now;
    return ids;
}

void addStatistic(Poco::Data::Session& session, const std::string& product_id,
                  StatisticPeriod period, const std::string& position, const std::string& kind) {
    const PeriodTable& table = periodTable(period);
    const auto f = counterFlags(position, kind);
    session << std::string("INSERT INTO ") + table.table +
                   "(created_at, updated_at, date, product_id, weightings_count, top_1_count, "
                   "top_2_count, top_3_count, top_4_count, top_5_count, "
                   "processed_with_prediction_count, processed_without_prediction_count, "
                   "processed_unknown_prediction_count) VALUES(CURRENT_TIMESTAMP, "
                   "CURRENT_TIMESTAMP, strftime(?), ?, 1, ?, ?, ?, ?, ?, ?, ?,?);",
        bind(std::string(table.dateFormat)), bind(product_id), bind(f[0]), bind(f[1]), bind(f[2]),
        bind(f[3]), bind(f[4]), bind(f[5]), bind(f[6]), bind(f[7]), now;
}

void updateStatistic(Poco::Data::Session& session, int id, StatisticPeriod period,
                     const std::string& position, const std::string& kind) {
    const PeriodTable& table = periodTable(period);
    const auto f = counterFlags(position, kind);
    session << std::string("UPDATE ") + table.table +
                   " SET weightings_count = weightings_count+1, top_1_count=top_1_count+?, "
                   "top_2_count=top_2_count+?, top_3_count=top_3_count+?, "
                   "top_4_count=top_4_count+?, top_5_count=top_5_count+?, "
                   "processed_with_prediction_count=processed_with_prediction_count+?, "
                   "processed_without_prediction_count = processed_without_prediction_count+?, "
                   "processed_unknown_prediction_count = processed_unknown_prediction_count+? "
                   "WHERE id= ?",
        bind(f[0]), bind(f[1]), bind(f[2]), bind(f[3]), bind(f[4]), bind(f[5]), bind(f[6]),
        bind(f[7]), bind(id), now;
}

void clearStatisticDays(Poco::Data::Session& session) {
    session << "DELETE FROM prediction_daily WHERE created_at < datetime('now', '-12 months')", now;
}

void clearStatisticMonths(Poco::Data::Session& session) {
    session << "DELETE FROM prediction_monthly WHERE created_at < datetime('now', '-12 months')",
        now;
}

void clearStatisticYears(Poco::Data::Session& session) {
    session << "DELETE FROM prediction_yearly WHERE created_at < datetime('now', '-60 months')",
        now;
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
    StatisticData row;
    Poco::Data::Statement select(session);
    select << std::string(
                  "SELECT strftime('%d-%m-', date) || substr(strftime('%Y', date),3, 2), "
                  "weightings_count, top_1_count, top_2_count, top_3_count, top_4_count, "
                  "top_5_count, processed_with_prediction_count, "
                  "processed_without_prediction_count, "
                  "processed_unknown_prediction_count FROM ") +
                  table.table + " WHERE product_id = ? AND " + kRangeCondition +
                  " ORDER BY created_at LIMIT ? OFFSET ?;",
        bind(product_id);
    bindRange(select, table, startDate, endDate, limit, offset);
    intoStatisticRow(select, row);
    return fetchStatistic(select, row);
}

std::vector<StatisticData> getStatistic(Poco::Data::Session& session, StatisticPeriod period,
                                        const std::string& startDate, const std::string& endDate,
                                        int limit, int offset) {
    const PeriodTable& table = periodTable(period);
    StatisticData row;
    Poco::Data::Statement select(session);
    select << std::string(
                  "SELECT product_id, SUM(weightings_count), SUM(top_1_count), "
                  "SUM(top_2_count), SUM(top_3_count), SUM(top_4_count), "
                  "SUM(top_5_count), SUM(processed_with_prediction_count), "
                  "SUM(processed_without_prediction_count), "
                  "SUM(processed_unknown_prediction_count) FROM ") +
                  table.table + " WHERE " + kRangeCondition +
                  " GROUP BY product_id ORDER BY product_id LIMIT ? OFFSET ?;";
    bindRange(select, table, startDate, endDate, limit, offset);
    intoStatisticRow(select, row);
    return fetchStatistic(select, row);
}

}  // namespace korvane::Utils::Queries
