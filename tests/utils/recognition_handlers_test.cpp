#include "recognition_handlers.h"

#include <Poco/Data/Session.h>
#include <Poco/Exception.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/json.hpp>
#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "camera_handlers_fixture.h"
#include "http_client.h"
#include "invalid_request.h"
#include "logger.h"
#include "responses.h"

namespace {

namespace Utils = korvane::Utils;
using korvane::Testing::CameraHandlersTest;
using korvane::Testing::CannedCamera;
using korvane::Testing::LogCapture;
using korvane::Testing::readFile;
using korvane::Testing::waitUntil;
using Poco::Data::Keywords::into;
using Poco::Data::Keywords::now;
using Poco::Data::Keywords::use;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The logger's lines with their level, "[error] text", while it lives.
class LevelCapture {
  public:
    LevelCapture() : sink_(std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_)) {
        sink_->set_pattern("[%l] %v");
        korvane::Log()->sinks().push_back(sink_);
    }
    ~LevelCapture() {
        auto& sinks = korvane::Log()->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    }
    std::string text() {
        korvane::Log()->flush();
        return stream_.str();
    }

  private:
    std::ostringstream stream_;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
};

struct QueueRow {
    int id = 0;
    std::string sid;
    std::string method;
    std::string position;
    std::string code;
    std::string category;
    std::string name;
    double weight = 0.0;
    int responseTime = 0;
};

struct ValueRow {
    std::string code;
    std::string category;
    std::string name;
    double rate = 0.0;
    int top = 0;
    bool operator==(const ValueRow&) const = default;
};

struct StatisticRow {
    int weightings = 0;
    std::vector<int> tops;  // top_1_count ... top_5_count
    int with = 0;
    int without = 0;
    int unknown = 0;
};

class RecognitionHandlersTest : public CameraHandlersTest {
  protected:
    RecognitionHandlersTest() {
        config_["product_prediction_data_folder_path"] = imagesDir().string();
    }

    std::filesystem::path imagesDir() const { return dir_.path() / "pictures" / "sessions"; }

    // Makes every get_result answer these candidates, in this order.
    void script(const std::vector<std::pair<std::string, double>>& candidates) {
        boost::json::array list;
        for (const auto& [id, score] : candidates) list.push_back({{"id", id}, {"score", score}});
        control("POST", "/sim/config",
                boost::json::serialize(boost::json::object{{"fixed_result", list}}));
    }

    // Fetches a result and returns its sid.
    std::string fetchResult(bool post = true) {
        const auto answer = Utils::process_get_result(camera_, post, dbMutex_, *db_);
        EXPECT_EQ(answer->getValue<int>("code"), 0) << Utils::toJsonText(answer);
        return answer->getObject("data")->getValue<std::string>("sid");
    }

    Poco::JSON::Object::Ptr feedback(const std::string& body) {
        return Utils::process_result_feedback(json(body), camera_, dbMutex_, config_, *db_);
    }

    Poco::Data::Session& session() { return db_->GetSession(); }

    std::vector<QueueRow> queue() {
        std::vector<int> ids, times;
        std::vector<std::string> sids, methods, positions, codes, categories, names;
        std::vector<double> weights;
        std::lock_guard<std::mutex> lock(dbMutex_);
        session() << "SELECT id, sid, method_of_selection, position_relevance, product_code, "
                     "product_category, product_name, product_weight, response_time_ms "
                     "FROM recognition_queue ORDER BY id",
            into(ids), into(sids), into(methods), into(positions), into(codes), into(categories),
            into(names), into(weights), into(times), now;
        std::vector<QueueRow> rows;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            rows.push_back({ids[i], sids[i], methods[i], positions[i], codes[i], categories[i],
                            names[i], weights[i], times[i]});
        }
        return rows;
    }

    std::vector<ValueRow> values(int rid) {
        std::vector<std::string> codes, categories, names;
        std::vector<double> rates;
        std::vector<int> tops;
        std::lock_guard<std::mutex> lock(dbMutex_);
        session() << "SELECT product_code, product_category, product_name, product_rate, top "
                     "FROM recognition_values WHERE rid = ? ORDER BY top",
            use(rid), into(codes), into(categories), into(names), into(rates), into(tops), now;
        std::vector<ValueRow> rows;
        for (std::size_t i = 0; i < codes.size(); ++i) {
            rows.push_back({codes[i], categories[i], names[i], rates[i], tops[i]});
        }
        return rows;
    }

    // (sid, top1 ... top5, response time) of every stored prediction.
    std::vector<std::vector<std::string>> predictions() {
        std::vector<std::string> sids, t1, t2, t3, t4, t5;
        std::vector<int> times;
        std::lock_guard<std::mutex> lock(dbMutex_);
        session() << "SELECT sid, top1, top2, top3, top4, top5, response_time_ms FROM predictions "
                     "ORDER BY id",
            into(sids), into(t1), into(t2), into(t3), into(t4), into(t5), into(times), now;
        std::vector<std::vector<std::string>> rows;
        for (std::size_t i = 0; i < sids.size(); ++i) {
            rows.push_back({sids[i], t1[i], t2[i], t3[i], t4[i], t5[i], std::to_string(times[i])});
        }
        return rows;
    }

    std::optional<StatisticRow> statistic(const std::string& table, const std::string& product) {
        std::vector<int> w, t1, t2, t3, t4, t5, with, without, unknown;
        std::string p = product;
        std::lock_guard<std::mutex> lock(dbMutex_);
        session()
            << "SELECT weightings_count, top_1_count, top_2_count, top_3_count, "
               "top_4_count, top_5_count, processed_with_prediction_count, "
               "processed_without_prediction_count, processed_unknown_prediction_count FROM " +
                   table + " WHERE product_id = ?",
            use(p), into(w), into(t1), into(t2), into(t3), into(t4), into(t5), into(with),
            into(without), into(unknown), now;
        if (w.empty()) return std::nullopt;
        EXPECT_EQ(w.size(), 1u) << table << " holds several rows of " << product;
        return StatisticRow{
            w[0], {t1[0], t2[0], t3[0], t4[0], t5[0]}, with[0], without[0], unknown[0]};
    }

    Utils::ConfigMap config_;
};

TEST_F(RecognitionHandlersTest, GetResultAnswersTheCandidatesAndStoresThemAsPrediction) {
    script({{"10003", 0.91}, {"10001", 0.42}, {"10007", 0.13}});
    fault({{"command", "get_result"}, {"delay_ms", 150}, {"once", true}});

    const auto answer = Utils::process_get_result(camera_, false, dbMutex_, *db_);

    const auto sid = answer->getObject("data")->getValue<std::string>("sid");
    EXPECT_EQ(
        Utils::toJsonText(answer),
        R"({"code":0,"data":{"items":[{"id":"10003","score":0.91},{"id":"10001","score":0.42},)"
        R"({"id":"10007","score":0.13}],"sid":")" +
            sid + R"("}})");
    EXPECT_EQ(lastRequestOf("get_result").at("method").as_string(), "GET");
    const auto stored = predictions();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_THAT(std::vector<std::string>(stored[0].begin(), stored[0].begin() + 6),
                ElementsAre(sid, "10003", "10001", "10007", "", ""));
    // The response time covers the camera's delay.
    EXPECT_GE(std::stoi(stored[0][6]), 150);
    EXPECT_LT(std::stoi(stored[0][6]), 5000);

    Utils::process_get_result(camera_, true, dbMutex_, *db_);
    EXPECT_EQ(lastRequestOf("get_result").at("method").as_string(), "POST");
    EXPECT_EQ(predictions().size(), 2u);
}

TEST_F(RecognitionHandlersTest, GetResultCameraErrorAnswersItsCodeAndStoresNothing) {
    fault({{"command", "get_result"}, {"error_code", -6201}});
    EXPECT_EQ(Utils::toJsonText(Utils::process_get_result(camera_, true, dbMutex_, *db_)),
              R"({"code":-6201,"data":null})");
    EXPECT_TRUE(predictions().empty());
}

TEST_F(RecognitionHandlersTest, RepeatedSidFromTheCameraReplacesItsPrediction) {
    CannedCamera camera;
    std::shared_ptr<Driver> canned = driverFor(camera.port());
    for (const char* first : {"10001", "10005"}) {
        camera.set({200, "application/json",
                    std::string(R"({"code":0,"data":{"items":[{"id":")") + first +
                        R"(","score":0.8}],"sid":"S-7"}})"});
        Utils::process_get_result(canned, true, dbMutex_, *db_);
    }
    const auto stored = predictions();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][0], "S-7");
    EXPECT_EQ(stored[0][1], "10005");

    // The feedback then ranks against the latest candidates.
    EXPECT_EQ(Utils::toJsonText(feedback(R"({"sid":"S-7","id":"10005"})")),
              R"({"code":0,"data":null})");
    ASSERT_EQ(queue().size(), 1u);
    EXPECT_EQ(queue()[0].position, "top1");
}

TEST_F(RecognitionHandlersTest, FeedbackIsCompletedFromThePrediction) {
    script({{"10003", 0.91}, {"10001", 0.42}, {"10007", 0.13}});
    const std::vector<ValueRow> candidates = {
        {"10003", "", "", 0.91, 1}, {"10001", "", "", 0.42, 2}, {"10007", "", "", 0.13, 3}};
    struct Case {
        std::string name;
        bool fetch;         // whether a prediction exists for the sid
        std::string extra;  // further members of the feedback
        std::string id;
        std::string position;
        std::vector<ValueRow> values;
        std::vector<int> tops;  // expected position counters
    };
    const std::vector<Case> cases = {
        {"second candidate", true, "", "10001", "top2", candidates, {0, 1, 0, 0, 0}},
        {"not among them", true, "", "10008", "top_not_in_top5", candidates, {0, 0, 0, 0, 0}},
        {"no prediction", false, "", "10002", "top_unknown", {}, {0, 0, 0, 0, 0}},
        {"client's position",
         true,
         R"(,"position_relevance":"scanned")",
         "10004",
         "scanned",
         candidates,
         {0, 0, 0, 0, 0}},
        {"client's position over the rank",
         true,
         R"(,"position_relevance":"top5")",
         "10003",
         "top5",
         candidates,
         {0, 0, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string sid = c.fetch ? fetchResult() : "never-fetched-" + c.id;
        const auto answer =
            feedback(R"({"sid":")" + sid + R"(","id":")" + c.id + "\"" + c.extra + "}");
        EXPECT_EQ(Utils::toJsonText(answer), R"({"code":0,"data":null})");

        const auto rows = queue();
        ASSERT_FALSE(rows.empty());
        const auto& row = rows.back();
        EXPECT_EQ(row.sid, sid);
        EXPECT_EQ(row.code, c.id);
        EXPECT_EQ(row.position, c.position);
        EXPECT_EQ(row.method, "unknown");
        EXPECT_EQ(row.name, "");
        EXPECT_EQ(row.weight, 0.0);
        EXPECT_EQ(values(row.id), c.values);
        EXPECT_EQ(boost::json::parse(lastRequestOf("result_feedback").at("body").as_string()),
                  (boost::json::object{{"sid", sid}, {"id", c.id}}));
        for (const auto& prediction : predictions()) EXPECT_NE(prediction[0], sid);
        for (const char* table : {"prediction_daily", "prediction_monthly", "prediction_yearly"}) {
            const auto stats = statistic(table, c.id);
            ASSERT_TRUE(stats) << table;
            EXPECT_EQ(stats->weightings, 1) << table;
            EXPECT_EQ(stats->tops, c.tops) << table;
            EXPECT_EQ(stats->unknown, 1) << table;
            EXPECT_EQ(stats->with + stats->without, 0) << table;
        }
    }
}

TEST_F(RecognitionHandlersTest, FeedbackTakesThePredictionsResponseTime) {
    script({{"10002", 0.7}});
    fault({{"command", "get_result"}, {"delay_ms", 120}, {"once", true}});
    const auto sid = fetchResult();
    const int stored = std::stoi(predictions().at(0)[6]);
    ASSERT_GE(stored, 120);

    feedback(R"({"sid":")" + sid + R"(","id":"10002","top_recognition":[{"product_code":"1"}]})");
    EXPECT_EQ(queue().at(0).responseTime, stored);
    // The client's candidates stand; only the missing time came from the prediction.
    EXPECT_THAT(values(queue().at(0).id), ElementsAre(ValueRow{"1", "", "", 0.0, 1}));
    EXPECT_EQ(queue().at(0).position, "top_unknown");
}

TEST_F(RecognitionHandlersTest, CompleteFeedbackIsStoredAsSent) {
    script({{"10001", 0.9}, {"10002", 0.5}});
    const auto sid = fetchResult();
    const auto answer =
        feedback(R"({"sid":")" + sid +
                 R"(","id":"10002","product_name":"Pears",)"
                 R"("response_time_ms":345.0,"method_of_selection":"recognition",)"
                 R"("position_relevance":"top2","product_category":"Fruit",)"
                 R"("product_weight":2,"top_recognition":[)"
                 R"({"product_code":10001,"product_name":"Apples","product_rate":1},)"
                 R"({"product_code":"10002","product_category":"Fruit",)"
                 R"("product_name":"Pears","product_rate":0.25}]})");
    EXPECT_EQ(Utils::toJsonText(answer), R"({"code":0,"data":null})");

    const auto rows = queue();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].method, "recognition");
    EXPECT_EQ(rows[0].position, "top2");
    EXPECT_EQ(rows[0].category, "Fruit");
    EXPECT_EQ(rows[0].name, "Pears");
    EXPECT_EQ(rows[0].weight, 2.0);
    EXPECT_EQ(rows[0].responseTime, 345);
    EXPECT_THAT(values(rows[0].id), ElementsAre(ValueRow{"10001", "", "Apples", 1.0, 1},
                                                ValueRow{"10002", "Fruit", "Pears", 0.25, 2}));
    EXPECT_TRUE(predictions().empty());
    const auto daily = statistic("prediction_daily", "10002");
    ASSERT_TRUE(daily);
    EXPECT_EQ(daily->tops, (std::vector<int>{0, 1, 0, 0, 0}));
    EXPECT_EQ(daily->with, 1);
}

TEST_F(RecognitionHandlersTest, CameraRefusalStoresNothingAndKeepsThePrediction) {
    const auto sid = fetchResult();
    fault({{"command", "result_feedback"}, {"error_code", -6213}, {"once", true}});

    EXPECT_EQ(Utils::toJsonText(feedback(R"({"sid":")" + sid + R"(","id":"10001"})")),
              R"({"code":-6213,"data":null})");
    EXPECT_TRUE(queue().empty());
    EXPECT_FALSE(statistic("prediction_daily", "10001"));
    ASSERT_EQ(predictions().size(), 1u);
    EXPECT_TRUE(requestsOf("get_image").empty());
    EXPECT_FALSE(std::filesystem::exists(imagesDir() / (sid + ".jpg")));

    // The retry finds the prediction still there.
    script({});
    EXPECT_EQ(Utils::toJsonText(feedback(R"({"sid":")" + sid + R"(","id":"10001"})")),
              R"({"code":0,"data":null})");
    ASSERT_EQ(queue().size(), 1u);
    EXPECT_NE(queue()[0].position, "top_unknown");
    EXPECT_FALSE(values(queue()[0].id).empty());
}

TEST_F(RecognitionHandlersTest, SecondFeedbackForTheSameSidIsQueuedWithoutCandidates) {
    script({{"10004", 0.8}, {"10005", 0.3}});
    const auto sid = fetchResult();
    const std::string body = R"({"sid":")" + sid + R"(","id":"10004"})";
    feedback(body);
    EXPECT_EQ(Utils::toJsonText(feedback(body)), R"({"code":0,"data":null})");

    const auto rows = queue();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].position, "top1");
    EXPECT_EQ(values(rows[0].id).size(), 2u);
    EXPECT_EQ(rows[1].position, "top_unknown");
    EXPECT_TRUE(values(rows[1].id).empty());
    const auto daily = statistic("prediction_daily", "10004");
    ASSERT_TRUE(daily);
    EXPECT_EQ(daily->weightings, 2);
    EXPECT_EQ(daily->tops, (std::vector<int>{1, 0, 0, 0, 0}));
}

TEST_F(RecognitionHandlersTest, DatabaseFailureRecordsNothingOfTheFeedback) {
    script({{"10001", 0.9}});
    const auto sid = fetchResult();
    db_->Execute("DROP TABLE prediction_yearly");

    EXPECT_THROW(feedback(R"({"sid":")" + sid + R"(","id":"10001"})"), Poco::Exception);
    EXPECT_TRUE(queue().empty());
    EXPECT_FALSE(statistic("prediction_daily", "10001"));
    EXPECT_EQ(predictions().size(), 1u);
    EXPECT_TRUE(requestsOf("get_image").empty());
}

TEST_F(RecognitionHandlersTest, CameraPictureIsSavedUnderTheSid) {
    const auto sid = fetchResult();
    const auto picture = korvane::Testing::httpRequest(sim_->port(), "GET", "/api/get_image");
    ASSERT_FALSE(picture.body.empty());
    LogCapture log;

    feedback(R"({"sid":")" + sid + R"(","id":"10001"})");

    const auto file = imagesDir() / (sid + ".jpg");
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(readFile(file.string()), picture.body);
    EXPECT_EQ(lastRequestOf("get_image").at("method").as_string(), "GET");
    EXPECT_THAT(log.text(), HasSubstr("Saved image for sid " + sid + " to " + file.string()));
}

TEST_F(RecognitionHandlersTest, PictureFailureStillAnswersSuccess) {
    const auto blocker = dir_.path() / "a-file";
    korvane::Testing::writeFile(blocker.string(), "x");
    struct Case {
        std::string name;
        std::optional<Poco::Dynamic::Var> folder;  // absent: no setting at all
        bool cameraFails;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {"no folder setting", std::nullopt, false, "Invalid image path config"},
        {"folder not a string", Poco::Dynamic::Var(42), false, "Invalid image path config"},
        {"folder not writable", Poco::Dynamic::Var((blocker / "sub").string()), false,
         "Failed to open file for writing: "},
        {"camera picture unavailable", Poco::Dynamic::Var(imagesDir().string()), true,
         "camera image unavailable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        config_.erase("product_prediction_data_folder_path");
        if (c.folder) config_["product_prediction_data_folder_path"] = *c.folder;
        if (c.cameraFails) fault({{"command", "get_image"}, {"error_code", -6103}, {"once", true}});
        const auto sid = fetchResult();
        const auto before = queue().size();
        LevelCapture log;

        EXPECT_EQ(Utils::toJsonText(feedback(R"({"sid":")" + sid + R"(","id":"10001"})")),
                  R"({"code":0,"data":null})");

        EXPECT_EQ(queue().size(), before + 1);
        EXPECT_THAT(log.text(), HasSubstr("[error] result_feedback() image for sid " + sid +
                                          " not saved: " + c.logged));
        if (c.logged == "Invalid image path config") {
            EXPECT_THAT(log.text(),
                        HasSubstr("[warning] Image path config missing or not a string"));
        }
        EXPECT_FALSE(std::filesystem::exists(imagesDir() / (sid + ".jpg")));
    }
}

TEST_F(RecognitionHandlersTest, PictureIsFetchedWithoutHoldingTheDatabase) {
    const auto sid = fetchResult();
    fault({{"command", "get_image"}, {"delay_ms", 1500}, {"once", true}});

    auto pending = std::async(std::launch::async,
                              [&] { return feedback(R"({"sid":")" + sid + R"(","id":"10001"})"); });
    // The simulator logs the request before it starts delaying the answer.
    ASSERT_TRUE(
        waitUntil([&] { return !requestsOf("get_image").empty(); }, std::chrono::seconds(5)));
    {
        std::unique_lock<std::mutex> lock(dbMutex_, std::try_to_lock);
        EXPECT_TRUE(lock.owns_lock()) << "the database is held during the picture request";
    }
    EXPECT_EQ(queue().size(), 1u);
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    EXPECT_EQ(Utils::toJsonText(pending.get()), R"({"code":0,"data":null})");
    EXPECT_TRUE(std::filesystem::exists(imagesDir() / (sid + ".jpg")));
}

TEST(RecognitionInfoParsing, FillsDefaultsAndConvertsScalars) {
    const auto info = Utils::parseRecognitionInfo(Utils::parseJsonObject(
        R"({"sid":12,"id":1001,"response_time_ms":"77","product_weight":3,)"
        R"("method_of_selection":true,"top_recognition":[{},{"product_rate":"0.5","product_code":7}]})"));
    EXPECT_EQ(info.sid, "12");
    EXPECT_EQ(info.id, "1001");
    EXPECT_EQ(info.product_name, "");
    EXPECT_EQ(info.response_time_ms, 77);
    EXPECT_EQ(info.method_of_selection, "true");
    EXPECT_EQ(info.position_relevance, "");
    EXPECT_EQ(info.product_category, "");
    EXPECT_EQ(info.product_weight, 3.0);
    ASSERT_EQ(info.top_recognition.size(), 2u);
    EXPECT_EQ(info.top_recognition[0].product_code, "");
    EXPECT_EQ(info.top_recognition[0].product_rate, 0.0);
    EXPECT_EQ(info.top_recognition[1].product_code, "7");
    EXPECT_EQ(info.top_recognition[1].product_rate, 0.5);

    const auto minimal =
        Utils::parseRecognitionInfo(Utils::parseJsonObject(R"({"sid":"s","id":"i"})"));
    EXPECT_EQ(minimal.method_of_selection, "unknown");
    EXPECT_EQ(minimal.response_time_ms, 0);
    EXPECT_TRUE(minimal.top_recognition.empty());
    EXPECT_EQ(Utils::parseRecognitionInfo(
                  Utils::parseJsonObject(R"({"sid":"s","id":"i","response_time_ms":12.9})"))
                  .response_time_ms,
              12);
}

TEST(RecognitionInfoParsing, RejectsWhatCannotBeRead) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"id":"1"})", "sid"},
        {R"({"sid":"s"})", "id"},
        {R"({"sid":null,"id":"1"})", "sid"},
        {R"({"sid":"s","id":{"x":1}})", "id"},
        {R"({"sid":"s","id":"1","response_time_ms":"fast"})", "response_time_ms"},
        {R"({"sid":"s","id":"1","product_weight":[1]})", "product_weight"},
        {R"({"sid":"s","id":"1","product_name":null})", "product_name"},
        {R"({"sid":"s","id":"1","top_recognition":{"product_code":"1"}})", "top_recognition"},
        {R"({"sid":"s","id":"1","top_recognition":null})", "top_recognition"},
        {R"({"sid":"s","id":"1","top_recognition":[{},"10001"]})", "top_recognition[1]"},
        {R"({"sid":"s","id":"1","top_recognition":[{"product_rate":"high"}]})",
         "top_recognition[0].product_rate"},
        {R"({"sid":"s","id":"1","top_recognition":[{"product_code":[]}]})",
         "top_recognition[0].product_code"},
    };
    for (const auto& [body, member] : cases) {
        SCOPED_TRACE(body);
        try {
            Utils::parseRecognitionInfo(Utils::parseJsonObject(body));
            ADD_FAILURE() << "accepted";
        } catch (const Utils::InvalidRequest& e) {
            EXPECT_THAT(e.what(), HasSubstr("'" + member + "'"));
        }
    }
}

}  // namespace
