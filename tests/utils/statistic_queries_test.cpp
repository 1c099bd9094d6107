#include "statistic_queries.h"

#include <Poco/Data/Session.h>
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "migrated_store.h"

namespace {

namespace Queries = korvane::Utils::Queries;
using Queries::StatisticData;
using Queries::StatisticPeriod;

const char* const kTables[] = {"prediction_daily", "prediction_monthly", "prediction_yearly"};

// weightings, top1..top5, with, without, unknown
using Counters = std::array<int, 9>;

Counters countersOf(const StatisticData& d) {
    return {d.weightings_count,
            d.top_1_count,
            d.top_2_count,
            d.top_3_count,
            d.top_4_count,
            d.top_5_count,
            d.processed_with_prediction_count,
            d.processed_without_prediction_count,
            d.processed_unknown_prediction_count};
}

std::vector<std::string> keysOf(const std::vector<StatisticData>& rows) {
    std::vector<std::string> keys;
    for (const auto& row : rows) {
        keys.push_back(row.key);
    }
    return keys;
}

class StatisticQueriesTest : public korvane::Testing::MigratedStoreTest {
  protected:
    Counters counters(const std::string& table, const std::string& product) {
        Counters c{};
        session() << "SELECT weightings_count, top_1_count, top_2_count, top_3_count, "
                     "top_4_count, top_5_count, processed_with_prediction_count, "
                     "processed_without_prediction_count, processed_unknown_prediction_count "
                     "FROM " +
                         table + " WHERE product_id = ?",
            Poco::Data::Keywords::into(c[0]), Poco::Data::Keywords::into(c[1]),
            Poco::Data::Keywords::into(c[2]), Poco::Data::Keywords::into(c[3]),
            Poco::Data::Keywords::into(c[4]), Poco::Data::Keywords::into(c[5]),
            Poco::Data::Keywords::into(c[6]), Poco::Data::Keywords::into(c[7]),
            Poco::Data::Keywords::into(c[8]), Poco::Data::Keywords::bind(product),
            Poco::Data::Keywords::now;
        return c;
    }

    int rows(const std::string& table, const std::string& product) {
        return scalar("SELECT COUNT(*) FROM " + table + " WHERE product_id = '" + product + "'");
    }

    // A row with created_at at the start of its period, so creation order follows the date.
    void insertRow(const std::string& table, const std::string& product, const std::string& date,
                   int weightings, int top1 = 0) {
        execute("INSERT INTO " + table +
                " (created_at, updated_at, date, product_id, weightings_count, top_1_count, "
                "top_2_count, top_3_count, top_4_count, top_5_count, "
                "processed_with_prediction_count, processed_without_prediction_count, "
                "processed_unknown_prediction_count) VALUES ('" +
                date + " 08:00:00', '" + date + " 08:00:00', '" + date + "', '" + product + "', " +
                std::to_string(weightings) + ", " + std::to_string(top1) + ", 0, 0, 0, 0, " +
                std::to_string(weightings) + ", 0, 0)");
    }
};

TEST_F(StatisticQueriesTest, FirstWeighingCreatesTheRowsLaterOnesIncrementThem) {
    Queries::recordStatistic(session(), "p1", "top2", "unknown");
    for (const char* table : kTables) {
        SCOPED_TRACE(table);
        EXPECT_EQ(rows(table, "p1"), 1);
        EXPECT_EQ(counters(table, "p1"), (Counters{1, 0, 1, 0, 0, 0, 0, 0, 1}));
    }
    EXPECT_EQ(text("SELECT date FROM prediction_daily"), text("SELECT date('now')"));
    EXPECT_EQ(text("SELECT date FROM prediction_monthly"), text("SELECT strftime('%Y-%m-01')"));
    EXPECT_EQ(text("SELECT date FROM prediction_yearly"), text("SELECT strftime('%Y-01-01')"));

    const auto ids = Queries::getStatiscticIds(session(), "p1");
    EXPECT_EQ(ids.daily, scalar("SELECT id FROM prediction_daily"));
    EXPECT_EQ(ids.monthly, scalar("SELECT id FROM prediction_monthly"));
    EXPECT_EQ(ids.yearly, scalar("SELECT id FROM prediction_yearly"));
    const auto none = Queries::getStatiscticIds(session(), "p2");
    EXPECT_EQ(none.daily + none.monthly + none.yearly, 0);

    struct Case {
        const char* position;
        const char* kind;
        Counters added;
    };
    const Case cases[] = {
        {"top1", "with_prediction", {1, 1, 0, 0, 0, 0, 1, 0, 0}},
        {"top5", "without_prediction", {1, 0, 0, 0, 0, 1, 0, 1, 0}},
        {"top_not_in_top5", "with_prediction", {1, 0, 0, 0, 0, 0, 1, 0, 0}},
        {"top_unknown", "something", {1, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"top6", "", {1, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"Top3", "With_prediction", {1, 0, 0, 0, 0, 0, 0, 0, 1}},
    };
    Counters expected{1, 0, 1, 0, 0, 0, 0, 0, 1};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.position) + "/" + c.kind);
        Queries::recordStatistic(session(), "p1", c.position, c.kind);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            expected[i] += c.added[i];
        }
        for (const char* table : kTables) {
            EXPECT_EQ(rows(table, "p1"), 1) << table;
            EXPECT_EQ(counters(table, "p1"), expected) << table;
        }
    }
}

TEST_F(StatisticQueriesTest, NewDayGetsItsOwnDailyRowWhileMonthAndYearCountOn) {
    Queries::recordStatistic(session(), "p1", "top1", "with_prediction");
    execute(
        "UPDATE prediction_daily SET date = date('now', '-1 day'), "
        "created_at = datetime('now', '-1 day')");

    Queries::recordStatistic(session(), "p1", "top1", "with_prediction");

    EXPECT_EQ(rows("prediction_daily", "p1"), 2);
    EXPECT_EQ(scalar("SELECT weightings_count FROM prediction_daily WHERE date = date('now')"), 1);
    EXPECT_EQ(counters("prediction_monthly", "p1")[0], 2);
    EXPECT_EQ(counters("prediction_yearly", "p1")[0], 2);
}

TEST_F(StatisticQueriesTest, PruningKeepsDailyAndMonthlyRowsAYearAndYearlyRowsFiveYears) {
    const std::vector<std::pair<std::string, std::string>> aged = {
        {"m11", "-11 months"}, {"m13", "-13 months"}, {"m59", "-59 months"}, {"m61", "-61 months"}};
    for (const auto& [product, age] : aged) {
        for (const char* table : kTables) {
            insertRow(table, product, "2020-01-01", 1);
            execute(std::string("UPDATE ") + table + " SET created_at = datetime('now', '" + age +
                    "') WHERE product_id = '" + product + "'");
        }
    }

    Queries::recordStatistic(session(), "p1", "top1", "with_prediction");

    for (const char* table : {"prediction_daily", "prediction_monthly"}) {
        SCOPED_TRACE(table);
        EXPECT_EQ(rows(table, "m11"), 1);
        EXPECT_EQ(rows(table, "m13"), 0);
        EXPECT_EQ(rows(table, "m59"), 0);
        EXPECT_EQ(rows(table, "p1"), 1);
    }
    EXPECT_EQ(rows("prediction_yearly", "m13"), 1);
    EXPECT_EQ(rows("prediction_yearly", "m59"), 1);
    EXPECT_EQ(rows("prediction_yearly", "m61"), 0);
}

TEST_F(StatisticQueriesTest, PerProductRangeCoversWholePeriodsInCreationOrder) {
    for (const char* date :
         {"2024-05-01", "2024-02-01", "2024-03-01", "2024-06-01", "2024-04-01"}) {
        insertRow("prediction_monthly", "p1", date, 3, 1);
    }
    insertRow("prediction_monthly", "p2", "2024-04-01", 9);
    for (const char* date : {"2024-03-09", "2024-03-10", "2024-03-11", "2024-03-12"}) {
        insertRow("prediction_daily", "p1", date, 2);
    }
    for (const char* date : {"2022-01-01", "2023-01-01", "2024-01-01", "2025-01-01"}) {
        insertRow("prediction_yearly", "p1", date, 5);
    }

    struct Case {
        StatisticPeriod period;
        const char* start;
        const char* end;
        std::vector<std::string> keys;
    };
    const Case cases[] = {
        {StatisticPeriod::Monthly, "01-03-24", "01-05-24", {"01-03-24", "01-04-24", "01-05-24"}},
        {StatisticPeriod::Monthly, "31-05-24", "01-01-30", {"01-05-24", "01-06-24"}},
        {StatisticPeriod::Daily, "10-03-24", "11-03-24", {"10-03-24", "11-03-24"}},
        {StatisticPeriod::Daily, "00-00-00", "09-03-24", {"09-03-24"}},
        {StatisticPeriod::Yearly, "15-06-23", "01-01-24", {"01-01-23", "01-01-24"}},
        {StatisticPeriod::Yearly, "01-01-26", "31-12-29", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.start) + ".." + c.end);
        const auto result = Queries::getStatistic(session(), "p1", c.period, c.start, c.end, -1, 0);
        EXPECT_EQ(keysOf(result), c.keys);
    }

    const auto march = Queries::getStatistic(session(), "p1", StatisticPeriod::Monthly, "01-03-24",
                                             "01-05-24", -1, 0);
    ASSERT_EQ(march.size(), 3u);
    EXPECT_EQ(countersOf(march[0]), (Counters{3, 1, 0, 0, 0, 0, 3, 0, 0}));

    const auto page = Queries::getStatistic(session(), "p1", StatisticPeriod::Monthly, "01-01-24",
                                            "31-12-24", 2, 1);
    EXPECT_EQ(keysOf(page), (std::vector<std::string>{"01-03-24", "01-04-24"}));
}

TEST_F(StatisticQueriesTest, SummarySumsPerProductOrderedById) {
    insertRow("prediction_daily", "p2", "2024-03-10", 2, 1);
    insertRow("prediction_daily", "p2", "2024-03-11", 3, 2);
    insertRow("prediction_daily", "p2", "2024-03-20", 100);  // outside the range
    insertRow("prediction_daily", "p1", "2024-03-11", 4);
    insertRow("prediction_daily", "p3", "2024-02-28", 7);  // outside the range
    insertRow("prediction_monthly", "p9", "2024-03-01", 1);

    const auto days =
        Queries::getStatistic(session(), StatisticPeriod::Daily, "10-03-24", "12-03-24", -1, 0);
    ASSERT_EQ(keysOf(days), (std::vector<std::string>{"p1", "p2"}));
    EXPECT_EQ(countersOf(days[0]), (Counters{4, 0, 0, 0, 0, 0, 4, 0, 0}));
    EXPECT_EQ(countersOf(days[1]), (Counters{5, 3, 0, 0, 0, 0, 5, 0, 0}));

    EXPECT_EQ(keysOf(Queries::getStatistic(session(), StatisticPeriod::Daily, "10-03-24",
                                           "12-03-24", 1, 1)),
              (std::vector<std::string>{"p2"}));
    EXPECT_EQ(keysOf(Queries::getStatistic(session(), StatisticPeriod::Monthly, "01-03-24",
                                           "01-03-24", -1, 0)),
              (std::vector<std::string>{"p9"}));
    EXPECT_EQ(keysOf(Queries::getStatistic(session(), StatisticPeriod::Yearly, "00-00-00",
                                           "31-12-99", -1, 0)),
              (std::vector<std::string>{}));
}

TEST_F(StatisticQueriesTest, DefaultRangeEndsTodayInUtcAndIncludesTodaysRow) {
    // This SQLite has no %y, hence the two-digit year through substr.
    const std::string sql = "SELECT strftime('%d-%m-', 'now') || substr(strftime('%Y', 'now'), 3)";
    const std::string before = text(sql);
    const std::string today = Queries::todayStatisticDate();
    const std::string after = text(sql);
    EXPECT_TRUE(today == before || today == after) << today;

    Queries::recordStatistic(session(), "p1", "top1", "with_prediction");
    const auto rows = Queries::getStatistic(session(), "p1", StatisticPeriod::Daily, "00-00-00",
                                            Queries::todayStatisticDate(), -1, 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].weightings_count, 1);
}

TEST_F(StatisticQueriesTest, OnlyTheThreeRequestTypesNameAPeriod) {
    const std::vector<std::pair<std::string, std::optional<StatisticPeriod>>> cases = {
        {"DAYS", StatisticPeriod::Daily},
        {"MONTHS", StatisticPeriod::Monthly},
        {"YEARS", StatisticPeriod::Yearly},
        {"days", std::nullopt},
        {"WEEKS", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [name, period] : cases) {
        EXPECT_EQ(Queries::statisticPeriodFromRequestType(name), period) << name;
    }
}

}  // namespace
