#include "queue_queries.h"

#include <Poco/Data/Session.h>
#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "dead_letter_queries.h"
#include "migrated_store.h"

namespace {

namespace Queries = korvane::Utils::Queries;
using Queries::PredictedProduct;

class QueueQueriesTest : public korvane::Testing::MigratedStoreTest {
  protected:
    int queue(const std::string& sid, const std::string& code = "42") {
        return Queries::addRecognitionQueue(session(), sid, "recognition", "top1", code, "fruit",
                                            "Apple", 1.25, 310);
    }
};

TEST_F(QueueQueriesTest, RecognitionEntryAndItsRankedValuesReadBack) {
    EXPECT_FALSE(Queries::getNextRecognitionQueue(session()));

    const int rid = Queries::addRecognitionQueue(session(), "sid-1", "recognition", "top2", "00123",
                                                 "fruit", "Apple", 1.25, 310);
    // Stored out of rank order on purpose: the reader orders by rank.
    Queries::addRecognitionValue(session(), "3", "c3", "Third", 0.1, rid, 3);
    Queries::addRecognitionValue(session(), "00123", "fruit", "Apple", 0.7, rid, 1);
    Queries::addRecognitionValue(session(), "77", "c2", "Second", 0.2, rid, 2);

    auto entry = Queries::getNextRecognitionQueue(session());
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->id, rid);
    EXPECT_EQ(entry->sid, "sid-1");
    EXPECT_EQ(entry->method_of_selection, "recognition");
    EXPECT_EQ(entry->position_relevance, "top2");
    EXPECT_EQ(entry->product_code, 123);
    EXPECT_EQ(entry->product_category, "fruit");
    EXPECT_EQ(entry->product_name, "Apple");
    EXPECT_DOUBLE_EQ(entry->product_weight, 1.25);
    EXPECT_EQ(entry->response_time_ms, 310);
    EXPECT_EQ(entry->image_url, "");
    EXPECT_EQ(entry->created_at, text("SELECT created_at FROM recognition_queue"));
    EXPECT_EQ(entry->created_at.size(), 19u);  // "YYYY-MM-DD HH:MM:SS"
    EXPECT_EQ(text("SELECT product_code FROM recognition_queue"), "00123");

    const auto values = Queries::getRecognitionValues(session(), rid);
    ASSERT_EQ(values.size(), 3u);
    const std::vector<std::pair<int, int>> expected = {{1, 123}, {2, 77}, {3, 3}};
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(values[i].top, expected[i].first);
        EXPECT_EQ(values[i].product_code, expected[i].second);
        EXPECT_EQ(values[i].rid, rid);
    }
    EXPECT_EQ(values[1].product_name, "Second");
    EXPECT_EQ(values[1].product_category, "c2");
    EXPECT_DOUBLE_EQ(values[1].product_rate, 0.2);
    EXPECT_TRUE(Queries::getRecognitionValues(session(), rid + 1).empty());

    EXPECT_THROW(Queries::addRecognitionValue(session(), "9", "", "", 0.0, rid, 2),
                 Poco::Exception);

    Queries::updateImageUrl(session(), "https://store/images/sid-1.jpg", rid);
    EXPECT_EQ(Queries::getNextRecognitionQueue(session())->image_url,
              "https://store/images/sid-1.jpg");
}

TEST_F(QueueQueriesTest, ProductCodeTextReadsAsItsLeadingDigits) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"00123", 123},
        {"abc", 0},
        {"12ab", 12},
        {"", 0},
        {"-5", 0},
        {" 7", 0},
        {"2147483647", INT_MAX},
        {"4607001234567", INT_MAX},
    };
    const int rid = queue("sid");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Queries::addRecognitionValue(session(), cases[i].first, "", "", 0.0, rid,
                                     static_cast<int>(i) + 1);
    }
    const auto values = Queries::getRecognitionValues(session(), rid);
    ASSERT_EQ(values.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(values[i].product_code, cases[i].second) << "code '" << cases[i].first << "'";
    }
}

TEST_F(QueueQueriesTest, QueueIsReadOldestFirst) {
    const int first = queue("a");
    const int second = queue("b");  // usually within the same second as the first
    EXPECT_EQ(Queries::getNextRecognitionQueue(session())->id, first);

    execute("UPDATE recognition_queue SET created_at = datetime('now', '-1 hour') WHERE sid = 'b'");
    EXPECT_EQ(Queries::getNextRecognitionQueue(session())->id, second);
}

TEST_F(QueueQueriesTest, DeletingAnEntryRemovesItsValueRowsInsideOrOutsideATransaction) {
    for (const bool inTransaction : {true, false}) {
        SCOPED_TRACE(inTransaction ? "in transaction" : "autocommit");
        const int gone = queue("gone");
        const int kept = queue("kept");
        for (int top = 1; top <= 3; ++top) {
            Queries::addRecognitionValue(session(), "1", "", "", 0.5, gone, top);
            Queries::addRecognitionValue(session(), "2", "", "", 0.5, kept, top);
        }
        if (inTransaction) {
            session().begin();
        }
        Queries::deleteFromRecognitionQueue(session(), gone);
        if (inTransaction) {
            session().commit();
        }
        EXPECT_EQ(
            scalar("SELECT COUNT(*) FROM recognition_values WHERE rid = " + std::to_string(gone)),
            0);
        EXPECT_EQ(Queries::getRecognitionValues(session(), kept).size(), 3u);
        EXPECT_EQ(Queries::getNextRecognitionQueue(session())->id, kept);

        Queries::deleteFromRecognitionQueue(session(), kept);
        Queries::deleteFromRecognitionQueue(session(), kept);  // a missing id changes nothing
        EXPECT_EQ(scalar("SELECT COUNT(*) FROM recognition_values"), 0);
        EXPECT_FALSE(Queries::getNextRecognitionQueue(session()));
    }
    // Enforcement stays on for the connection: orphan value rows are refused from now on.
    EXPECT_EQ(scalar("PRAGMA foreign_keys"), 1);
    EXPECT_THROW(Queries::addRecognitionValue(session(), "1", "", "", 0.5, 9999, 1),
                 Poco::Exception);
}

TEST_F(QueueQueriesTest, AlertsAreReadInOrderAndDeleted) {
    EXPECT_FALSE(Queries::getNextAlertQueue(session()));
    const int a = Queries::addAlertQueue(session(), -6103, "Camera lost");
    const int b = Queries::addAlertQueue(session(), -6104, "second");
    const int c = Queries::addAlertQueue(session(), -6105, "third");
    execute("UPDATE alert_queue SET created_at = datetime('now', '-5 minutes') WHERE id = " +
            std::to_string(c));

    for (const int expected : {c, a, b}) {
        const auto alert = Queries::getNextAlertQueue(session());
        ASSERT_TRUE(alert);
        EXPECT_EQ(alert->id, expected);
        Queries::deleteFromAlertQueue(session(), alert->id);
    }
    EXPECT_FALSE(Queries::getNextAlertQueue(session()));

    const int d = Queries::addAlertQueue(session(), -6103, "Camera lost");
    const auto alert = Queries::getNextAlertQueue(session());
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->id, d);
    EXPECT_EQ(alert->code, -6103);
    EXPECT_EQ(alert->description, "Camera lost");
    EXPECT_EQ(alert->updated_at, alert->created_at);
}

TEST_F(QueueQueriesTest, PredictionStoresAtMostFiveProductsAndReadsBackTheFilledOnes) {
    Queries::addPrediction(session(), "two", 120, {{"p1", 0.9}, {"p2", 0.05}});
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM predictions WHERE sid = 'two' AND top3 = '' AND "
                     "top4 = '' AND top5 = '' AND rate3 = 0.0 AND rate4 = 0.0 AND rate5 = 0.0"),
              1);
    auto prediction = Queries::getPrediction(session(), "two");
    EXPECT_EQ(prediction.response_time_ms, 120);
    EXPECT_EQ(prediction.products, (std::vector<PredictedProduct>{{"p1", 0.9}, {"p2", 0.05}}));

    const std::vector<PredictedProduct> seven = {{"a", .7}, {"b", .6}, {"c", .5}, {"d", .4},
                                                 {"e", .3}, {"f", .2}, {"g", .1}};
    Queries::addPrediction(session(), "seven", 80, seven);
    EXPECT_EQ(Queries::getPrediction(session(), "seven").products,
              std::vector<PredictedProduct>(seven.begin(), seven.begin() + 5));

    // An empty identifier in the middle is skipped and the later ones move up.
    Queries::addPrediction(session(), "gap", 5, {{"a", .7}, {"", .6}, {"c", .5}});
    EXPECT_EQ(Queries::getPrediction(session(), "gap").products,
              (std::vector<PredictedProduct>{{"a", .7}, {"c", .5}}));

    prediction = Queries::getPrediction(session(), "unknown");
    EXPECT_EQ(prediction.response_time_ms, 0);
    EXPECT_TRUE(prediction.products.empty());

    Queries::deletePrediction(session(), "two");
    EXPECT_TRUE(Queries::getPrediction(session(), "two").products.empty());
    EXPECT_EQ(Queries::getPrediction(session(), "seven").products.size(), 5u);
}

TEST_F(QueueQueriesTest, RepeatedSidReplacesItsPrediction) {
    Queries::addPrediction(session(), "same", 100, {{"old", 0.5}});
    Queries::addPrediction(session(), "other", 7, {{"x", 0.5}});
    session().begin();
    Queries::addPrediction(session(), "same", 200, {{"new1", 0.8}, {"new2", 0.1}});
    session().commit();

    EXPECT_EQ(scalar("SELECT COUNT(*) FROM predictions WHERE sid = 'same'"), 1);
    const auto prediction = Queries::getPrediction(session(), "same");
    EXPECT_EQ(prediction.response_time_ms, 200);
    EXPECT_EQ(prediction.products, (std::vector<PredictedProduct>{{"new1", 0.8}, {"new2", 0.1}}));
    EXPECT_EQ(Queries::getPrediction(session(), "other").response_time_ms, 7);

    // Two rows for one sid (written before sids were replaced) still read, newest first.
    execute(
        "INSERT INTO predictions (created_at, updated_at, sid, response_time_ms, top1, rate1) "
        "VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'same', 300, 'dup', 0.3)");
    EXPECT_EQ(Queries::getPrediction(session(), "same").response_time_ms, 300);
}

TEST_F(QueueQueriesTest, CleanUpDropsOnlyPredictionsOlderThanTenMinutes) {
    Queries::addPrediction(session(), "eleven", 1, {{"a", 1.0}});
    Queries::addPrediction(session(), "nine", 1, {{"b", 1.0}});
    Queries::addPrediction(session(), "fresh", 1, {{"c", 1.0}});
    execute(
        "UPDATE predictions SET created_at = datetime('now', '-11 minutes') "
        "WHERE sid = 'eleven'");
    execute("UPDATE predictions SET created_at = datetime('now', '-9 minutes') WHERE sid = 'nine'");

    Queries::deletePrediction(session());

    EXPECT_TRUE(Queries::getPrediction(session(), "eleven").products.empty());
    EXPECT_EQ(Queries::getPrediction(session(), "nine").products.size(), 1u);
    EXPECT_EQ(Queries::getPrediction(session(), "fresh").products.size(), 1u);
}

TEST_F(QueueQueriesTest, CountsWaitingAlertsAndRecognitions) {
    using Counts = std::map<std::string, int>;
    EXPECT_EQ(Queries::getCountDataSend(session()),
              (Counts{{"alert_count", 0}, {"recognition_count", 0}}));
    Queries::addAlertQueue(session(), 1, "a");
    Queries::addAlertQueue(session(), 2, "b");
    const int rid = queue("s");
    Queries::addRecognitionValue(session(), "1", "", "", 0.5, rid, 1);
    EXPECT_EQ(Queries::getCountDataSend(session()),
              (Counts{{"alert_count", 2}, {"recognition_count", 1}}));
}

TEST_F(QueueQueriesTest, DeadLettersKeepTheirRowsAndGoBackWholeAtTheHead) {
    const int rid = queue("poison");
    Queries::addRecognitionValue(session(), "7", "c", "Seven", 0.5, rid, 1);
    Queries::addRecognitionValue(session(), "8", "c", "Eight", 0.3, rid, 2);
    Queries::updateImageUrl(session(), "http://store/poison.jpg", rid);
    const int alert = Queries::addAlertQueue(session(), 3, "refused");
    Queries::setRecognitionAside(session(), rid, 422, R"({"code":"BAD"})");
    Queries::setAlertAside(session(), alert, 400, "");
    Queries::setAlertAside(session(), alert + 100, 400, "");  // gone already: nothing moves
    EXPECT_EQ(Queries::countDeadLetters(session()), 2);
    EXPECT_EQ(text("SELECT answer FROM dead_letter_recognitions"), R"({"code":"BAD"})");
    EXPECT_EQ(Queries::getQueueStats(session()).back().queue, "dead_letter");
    EXPECT_EQ(Queries::getQueueStats(session()).back().depth, 2);
    EXPECT_EQ(Queries::getCountDataSend(session())["recognition_count"], 0);

    queue("later");
    EXPECT_EQ(Queries::requeueDeadLetters(session()), 2);
    EXPECT_EQ(Queries::countDeadLetters(session()), 0);
    const auto head = Queries::getNextRecognitionQueue(session());
    ASSERT_TRUE(head);
    EXPECT_EQ(head->id, rid);
    EXPECT_EQ(head->image_url, "http://store/poison.jpg");
    const auto values = Queries::getRecognitionValues(session(), rid);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[1].product_name, "Eight");
    EXPECT_EQ(Queries::getNextAlertQueue(session())->id, alert);
}

}  // namespace
