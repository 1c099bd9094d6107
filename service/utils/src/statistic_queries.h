#pragma once
// Queries on the per-product prediction statistics: daily, monthly and yearly counters of
// confirmed weighings by candidate position and processing kind, their pruning by age, and the
// range reports of get_statistic. Every function expects the caller to hold the database mutex;
// statement errors propagate as Poco::Data exceptions. Periods are UTC days, months and years.

#include <Poco/Data/Session.h>

#include <optional>
#include <string>
#include <vector>

namespace korvane::Utils::Queries {

// Names the period table, so no statement can be built without one.
enum class StatisticPeriod { Daily, Monthly, Yearly };

// "DAYS", "MONTHS" or "YEARS" of a get_statistic request; empty for anything else.
std::optional<StatisticPeriod> statisticPeriodFromRequestType(const std::string& requestType);

// Today's UTC date as DD-MM-YY: the default end of a get_statistic range (rows are dated in UTC).
std::string todayStatisticDate();

// Row ids of a product for the current UTC day, month and year; 0 where there is no row.
struct StatisticIds {
    int daily = 0;
    int monthly = 0;
    int yearly = 0;
};

// One report row: keyed by the row's date as DD-MM-YY (per-product form) or by the product id
// (summary form).
struct StatisticData {
    std::string key;
    int top_1_count = 0;
    int top_2_count = 0;
    int top_3_count = 0;
    int top_4_count = 0;
    int top_5_count = 0;
    int weightings_count = 0;
    int processed_without_prediction_count = 0;
    int processed_with_prediction_count = 0;
    int processed_unknown_prediction_count = 0;
};

// position: "top1" ... "top5" count; any other text increments no position counter.
// kind: "with_prediction", "without_prediction"; anything else counts as unknown.

StatisticIds getStatiscticIds(Poco::Data::Session& session, const std::string& product_id);
// Creates the product's row of the current period with one weighing.
void addStatistic(Poco::Data::Session& session, const std::string& product_id,
                  StatisticPeriod period, const std::string& position, const std::string& kind);
// Adds one weighing to the row id of the period's table.
void updateStatistic(Poco::Data::Session& session, int id, StatisticPeriod period,
                     const std::string& position, const std::string& kind);
// Prune rows created more than 12 (days, months) or 60 (years) months ago.
void clearStatisticDays(Poco::Data::Session& session);
void clearStatisticMonths(Poco::Data::Session& session);
void clearStatisticYears(Poco::Data::Session& session);

// Counts one confirmed weighing of product_id in its day, month and year (creating the rows
// the period lacks), then prunes. Run it inside the feedback's transaction.
void recordStatistic(Poco::Data::Session& session, const std::string& product_id,
                     const std::string& position, const std::string& kind);

// Rows of one product whose period lies in [startDate, endDate] (DD-MM-YY texts; for MONTHS
// and YEARS the bounds widen to the whole month or year), in creation order. limit -1 means
// no limit.
std::vector<StatisticData> getStatistic(Poco::Data::Session& session, const std::string& product_id,
                                        StatisticPeriod period, const std::string& startDate,
                                        const std::string& endDate, int limit, int offset);
// Counters summed per product over the same range, ordered by product id.
std::vector<StatisticData> getStatistic(Poco::Data::Session& session, StatisticPeriod period,
                                        const std::string& startDate, const std::string& endDate,
                                        int limit, int offset);

}  // namespace korvane::Utils::Queries
