#include "statistic_handler.h"

#include <Poco/JSON/Array.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "invalid_request.h"
#include "migrator.h"
#include "responses.h"
#include "schema_migrations.h"
#include "sqlite_db.h"
#include "temp_dir.h"

namespace {

namespace Utils = korvane::Utils;
using ::testing::ElementsAre;

struct Counters {
    int weightings = 0;
    int t1 = 0, t2 = 0, t3 = 0, t4 = 0, t5 = 0;
    int with = 0, without = 0, unknown = 0;
};

class StatisticHandlerTest : public ::testing::Test {
  protected:
    StatisticHandlerTest() {
        db_ = std::make_unique<korvane::Engine::DB::SQLiteDB>(dir_.file("service.db"));
        db_->Execute(korvane::Engine::DB::kMigrationsTableDdl);
        korvane::Engine::DB::Migrator migrator(db_->GetSession());
        for (const auto& [name, sql] :
             korvane::Engine::DB::schemaMigrations(dir_.file("images"), "GNU/Linux")) {
            migrator.addMigration(name, sql);
        }
        migrator.migrate();
    }

    // A period row; `date` is an SQL expression. Rows are created in the order of the calls.
    void row(const std::string& table, const std::string& product, const std::string& date,
             const Counters& c) {
        ++created_;
        db_->Execute("INSERT INTO " + table +
                     " (created_at, updated_at, date, product_id, weightings_count, top_1_count, "
                     "top_2_count, top_3_count, top_4_count, top_5_count, "
                     "processed_with_prediction_count, processed_without_prediction_count, "
                     "processed_unknown_prediction_count) VALUES (datetime('now', '-" +
                     std::to_string(1000 - created_) + " minutes'), CURRENT_TIMESTAMP, " + date +
                     ", '" + product + "', " + std::to_string(c.weightings) + ", " +
                     std::to_string(c.t1) + ", " + std::to_string(c.t2) + ", " +
                     std::to_string(c.t3) + ", " + std::to_string(c.t4) + ", " +
                     std::to_string(c.t5) + ", " + std::to_string(c.with) + ", " +
                     std::to_string(c.without) + ", " + std::to_string(c.unknown) + ")");
    }

    Poco::JSON::Object::Ptr query(const std::string& body) {
        return Utils::process_get_statistic(Utils::parseJsonObject(body), dbMutex_,
                                            db_->GetSession());
    }

    // The answer's data as parsed JSON.
    Poco::JSON::Array::Ptr data(const std::string& body) {
        const auto answer = query(body);
        EXPECT_EQ(answer->getValue<int>("code"), 0) << Utils::toJsonText(answer);
        return answer->getArray("data");
    }

    // The dates of the one product's entries.
    std::vector<std::string> dates(const std::string& body) {
        const auto products = data(body);
        EXPECT_EQ(products->size(), 1u);
        std::vector<std::string> result;
        const auto list = products->getObject(0)->getArray("predictionDataList");
        for (std::size_t i = 0; i < list->size(); ++i) {
            result.push_back(
                list->getObject(static_cast<unsigned>(i))->getValue<std::string>("date"));
        }
        return result;
    }

    korvane::Testing::TempDir dir_;
    std::unique_ptr<korvane::Engine::DB::SQLiteDB> db_;
    std::mutex dbMutex_;
    int created_ = 0;
};

TEST_F(StatisticHandlerTest, DaysOfOneProductAnswerADatedEntryPerRow) {
    row("prediction_daily", "101", "'2024-02-29'", {9});
    row("prediction_daily", "101", "'2024-03-01'", {3, 2, 0, 1, 0, 0, 3, 0, 0});
    row("prediction_daily", "102", "'2024-03-10'", {4});
    row("prediction_daily", "101", "'2024-03-15'", {1, 0, 0, 0, 0, 1, 0, 1, 0});
    row("prediction_daily", "101", "'2024-04-01'", {5});

    const auto answer = query(
        R"({"requestType":"DAYS","productCode":"101","startDate":"01-03-24","endDate":"31-03-24"})");

    EXPECT_EQ(Utils::toJsonText(answer),
              R"({"code":0,"data":[{"code":"101","name":"","predictionDataList":[)"
              R"({"date":"01-03-24","position1Count":2,"position2Count":0,"position3Count":1,)"
              R"("position4Count":0,"position5Count":0,"processedUnknownPredictionCount":0,)"
              R"("processedWithPredictionCount":3,"processedWithoutPredictionCount":0,)"
              R"("weightingsCount":3},)"
              R"({"date":"15-03-24","position1Count":0,"position2Count":0,"position3Count":0,)"
              R"("position4Count":0,"position5Count":1,"processedUnknownPredictionCount":0,)"
              R"("processedWithPredictionCount":0,"processedWithoutPredictionCount":1,)"
              R"("weightingsCount":1}]}]})");
}

TEST_F(StatisticHandlerTest, MonthsAndYearsWidenTheBoundsToWholePeriods) {
    for (const char* month :
         {"'2024-02-01'", "'2024-03-01'", "'2024-04-01'", "'2024-05-01'", "'2024-06-01'"}) {
        row("prediction_monthly", "101", month, {1});
    }
    for (const char* year : {"'2022-01-01'", "'2023-01-01'", "'2024-01-01'"}) {
        row("prediction_yearly", "101", year, {1});
    }
    EXPECT_THAT(dates(R"({"requestType":"MONTHS","productCode":"101","startDate":"01-03-24",)"
                      R"("endDate":"01-05-24"})"),
                ElementsAre("01-03-24", "01-04-24", "01-05-24"));
    EXPECT_THAT(dates(R"({"requestType":"YEARS","productCode":"101","startDate":"31-12-23",)"
                      R"("endDate":"01-01-24"})"),
                ElementsAre("01-01-23", "01-01-24"));
}

TEST_F(StatisticHandlerTest, SummaryWithoutProductCodeSumsPerProductInProductOrder) {
    row("prediction_yearly", "202", "'2023-01-01'", {2, 1, 0, 0, 0, 0, 0, 0, 2});
    row("prediction_yearly", "101", "'2024-01-01'", {1, 0, 1, 0, 0, 0, 1, 0, 0});
    row("prediction_yearly", "202", "'2024-01-01'", {3, 1, 1, 0, 0, 0, 0, 3, 0});
    row("prediction_yearly", "303", "'2021-01-01'", {7});

    const auto answer =
        query(R"({"requestType":"YEARS","startDate":"01-01-23","endDate":"31-12-24"})");

    EXPECT_EQ(Utils::toJsonText(answer),
              R"({"code":0,"data":[)"
              R"({"code":"101","name":"","predictionDataList":[{"position1Count":0,)"
              R"("position2Count":1,"position3Count":0,"position4Count":0,"position5Count":0,)"
              R"("processedUnknownPredictionCount":0,"processedWithPredictionCount":1,)"
              R"("processedWithoutPredictionCount":0,"weightingsCount":1}]},)"
              R"({"code":"202","name":"","predictionDataList":[{"position1Count":2,)"
              R"("position2Count":1,"position3Count":0,"position4Count":0,"position5Count":0,)"
              R"("processedUnknownPredictionCount":2,"processedWithPredictionCount":0,)"
              R"("processedWithoutPredictionCount":3,"weightingsCount":5}]}]})");
}

TEST_F(StatisticHandlerTest, RequestDefaultsCoverEverythingUpToTodayUtc) {
    row("prediction_daily", "101", "'2001-05-05'", {1});
    row("prediction_daily", "101", "date('now', '-40 days')", {1});
    row("prediction_daily", "101", "date('now')", {1});
    row("prediction_daily", "101", "date('now', '+1 day')", {1});
    row("prediction_daily", "202", "date('now')", {4});

    const auto today = dates(R"({"requestType":"DAYS","productCode":"101"})");
    ASSERT_EQ(today.size(), 3u);
    EXPECT_EQ(today[0], "05-05-01");

    // Without a product code every product of the range is summed: the future row is left out.
    const auto products = data(R"({"requestType":"DAYS"})");
    ASSERT_EQ(products->size(), 2u);
    EXPECT_EQ(products->getObject(0)
                  ->getArray("predictionDataList")
                  ->getObject(0)
                  ->getValue<int>("weightingsCount"),
              3);

    // limit and offset page through the rows.
    EXPECT_THAT(dates(R"({"requestType":"DAYS","productCode":"101","limit":1,"offset":2})"),
                ElementsAre(today[2]));
    EXPECT_THAT(dates(R"({"requestType":"DAYS","productCode":"101","limit":2})"),
                ElementsAre(today[0], today[1]));
}

TEST_F(StatisticHandlerTest, ProductWithoutRowsAnswersAnEmptyList) {
    EXPECT_EQ(Utils::toJsonText(query(R"({"requestType":"MONTHS","productCode":"999"})")),
              R"({"code":0,"data":[{"code":"999","name":"","predictionDataList":[]}]})");
    EXPECT_EQ(Utils::toJsonText(query(R"({"requestType":"MONTHS"})")), R"({"code":0,"data":[]})");
}

TEST_F(StatisticHandlerTest, UnreadableRequestTypeAnswersBadRequest) {
    row("prediction_daily", "101", "date('now')", {1});
    for (const char* body :
         {R"({})", R"({"requestType":"WEEKS"})", R"({"requestType":"days"})",
          R"({"requestType":""})", R"({"requestType":null})", R"({"requestType":["DAYS"]})"}) {
        EXPECT_EQ(Utils::toJsonText(query(body)), R"({"code":-6200,"data":null})") << body;
    }
    EXPECT_THROW(query(R"({"requestType":"DAYS","limit":"many"})"), Utils::InvalidRequest);
    EXPECT_THROW(query(R"({"requestType":"DAYS","productCode":{}})"), Utils::InvalidRequest);
}

}  // namespace
