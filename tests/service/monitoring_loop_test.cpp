// The monitoring loop against the monitoring service simulator and the camera simulator, with a
// real SQLite file: what it delivers, in which order, and how it treats refusals and tasks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "../utils/migrated_store.h"
#include "camera_simulator.h"
#include "config_queries.h"
#include "device_data_provider.h"
#include "http_client.h"
#include "log_capture.h"
#include "models_task.h"
#include "monitoring_driver.h"
#include "monitoring_messages.h"
#include "monitoring_simulator.h"
#include "pellix_driver.h"
#include "queue_queries.h"
#include "s3_client_provider.h"
#include "state.h"
#include "task_handler_provider.h"

using namespace korvane;
using namespace korvane::Testing;
using Engine::Sync::MonitoringDriver;
using MonitoringSim::MonitoringSimulator;
using ::testing::HasSubstr;
namespace Routes = MonitoringSim::Routes;
namespace Queries = Utils::Queries;

namespace {

constexpr auto kDeadline = std::chrono::seconds(15);

class MonitoringLoopTest : public MigratedStoreTest {
  protected:
    MonitoringLoopTest() {
        camera_.start();
        sim_.start();
        cameraDriver_ = std::make_shared<Engine::Driver::PellixDriver>("127.0.0.1", camera_.port(),
                                                                       dbMutex_, db_);
        deviceData_ = std::make_shared<Engine::Sync::DeviceDataProvider>(cameraDriver_);
        // Nothing listens there: image uploads fail, recognitions go without an image.
        s3_ = std::make_shared<Engine::Sync::S3ClientProvider>(
            "http://127.0.0.1:" + std::to_string(closedPort()), "bucket", "login", "password");
        tasks_ = std::make_shared<Engine::Sync::TaskHandlerProvider>(s3_, config_, cameraDriver_,
                                                                     dbMutex_, db_);
        config_["korvane_monitoring_device_id"] = std::string("D1");
        // The outages here are short; a short backoff keeps recovery within the deadlines.
        config_["monitoring_backoff_max_s"] = 2;
        State::getInstance().replaceAll({});
        monitoring_ = std::make_unique<MonitoringDriver>(session(), config_, dbMutex_);
        monitoring_->onError([this](const std::string& message) {
            std::lock_guard lock(errorsMutex_);
            errors_.push_back(message);
        });
    }
    ~MonitoringLoopTest() override {
        monitoring_.reset();
        sim_.stop();
        camera_.stop();
    }

    void startLoop(const std::string& deviceId = "D1", bool gettingTasks = true,
                   long long taskFrequencyMs = 200) {
        monitoring_->setMonitoringSettings(
            "KORVANE_MONITORING", "http://127.0.0.1", std::to_string(sim_.port()), gettingTasks,
            true, taskFrequencyMs, "sim-secret", deviceId, dir_.file("images"), s3_, tasks_,
            deviceData_, [this] { ++reinits_; });
    }

    int queueRecognition(const std::string& sid, const std::string& code) {
        std::lock_guard lock(dbMutex_);
        const int id = Queries::addRecognitionQueue(session(), sid, "manual", "1", code, "fruit",
                                                    "apple " + code, 0.5, 120);
        Queries::addRecognitionValue(session(), code, "fruit", "apple " + code, 0.9, id, 1);
        Queries::addRecognitionValue(session(), "77", "fruit", "pear", 0.1, id, 2);
        return id;
    }

    std::vector<std::string> deliveredSessions() {
        std::vector<std::string> sids;
        for (const auto& message : sim_.recognitions()) {
            if (message.status == 200) {
                sids.emplace_back(message.body.at("recognition_session").as_string());
            }
        }
        return sids;
    }

    std::vector<std::string> errors() {
        std::lock_guard lock(errorsMutex_);
        return errors_;
    }

    CameraSim::CameraSimulator camera_{CameraSim::CameraSimulator::Options{}};
    MonitoringSimulator sim_;
    Utils::ConfigMap config_;
    std::mutex dbMutex_;
    std::shared_ptr<Engine::Driver::PellixDriver> cameraDriver_;
    std::shared_ptr<Engine::Sync::DeviceDataProvider> deviceData_;
    std::shared_ptr<Engine::Sync::S3ClientProvider> s3_;
    std::shared_ptr<Engine::Sync::TaskHandlerProvider> tasks_;
    std::unique_ptr<MonitoringDriver> monitoring_;
    std::atomic<int> reinits_{0};
    std::mutex errorsMutex_;
    std::vector<std::string> errors_;
};

TEST_F(MonitoringLoopTest, DeliversQueuedRecognitionsAndAlertsOnceInOrder) {
    for (int i = 1; i <= 3; ++i) queueRecognition("sid-" + std::to_string(i), std::to_string(i));
    {
        std::lock_guard lock(dbMutex_);
        Queries::addAlertQueue(session(), -6103, "camera lost");
        Queries::addAlertQueue(session(), 0, "camera back");
    }
    startLoop();
    ASSERT_TRUE(waitUntil([&] { return deliveredSessions().size() == 3; }, kDeadline));
    ASSERT_TRUE(waitUntil([&] { return sim_.alerts().size() == 2; }, kDeadline));
    EXPECT_EQ(deliveredSessions(), (std::vector<std::string>{"sid-1", "sid-2", "sid-3"}));

    const auto first = sim_.recognitions().front().body.as_object();
    std::vector<std::string> members;
    for (const auto& member : first) members.emplace_back(member.key());
    EXPECT_EQ(members,
              (std::vector<std::string>{"recognition_session", "response_time_ms",
                                        "method_of_selection", "position_relevance", "product_code",
                                        "product_category", "product_name", "product_weight",
                                        "top_recognition", "recognition_image_url", "created_at"}));
    EXPECT_EQ(first.at("product_code").as_int64(), 1);
    EXPECT_EQ(first.at("top_recognition").as_array().size(), 2u);
    EXPECT_EQ(first.at("recognition_image_url").as_string(), "");  // no local image
    EXPECT_THAT(std::string(first.at("created_at").as_string()), ::testing::EndsWith("Z"));

    const auto alerts = sim_.alerts();
    EXPECT_EQ(alerts[0].body.at("error_code").as_int64(), -6103);
    EXPECT_EQ(alerts[1].body.at("description").as_string(), "camera back");

    std::lock_guard lock(dbMutex_);
    const auto counts = Queries::getCountDataSend(session());
    EXPECT_EQ(counts.at("recognition_count"), 0);
    EXPECT_EQ(counts.at("alert_count"), 0);
}

TEST_F(MonitoringLoopTest, RefusedRecognitionIsRetriedAndHoldsTheQueue) {
    queueRecognition("stuck", "1");
    queueRecognition("behind", "2");
    sim_.setSticky("POST", Routes::kRecognition, {500, R"({"error":"busy"})"});
    LogCapture log;
    startLoop();
    ASSERT_TRUE(waitUntil([&] { return sim_.recognitions().size() >= 3; }, kDeadline));
    for (const auto& message : sim_.recognitions()) {
        EXPECT_EQ(message.body.at("recognition_session").as_string(), "stuck");
    }
    sim_.clearScript("POST", Routes::kRecognition);
    ASSERT_TRUE(waitUntil([&] { return deliveredSessions().size() == 2; }, kDeadline));
    EXPECT_EQ(deliveredSessions(), (std::vector<std::string>{"stuck", "behind"}));
    monitoring_->stop();
    EXPECT_THAT(log.text(), HasSubstr("send Recognition exception: {\"error\":\"busy\"};"));
}

TEST_F(MonitoringLoopTest, ServiceDownThenBackLosesNothing) {
    sim_.setDown(true);
    startLoop();
    for (int i = 1; i <= 3; ++i) queueRecognition("s" + std::to_string(i), std::to_string(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_TRUE(sim_.recognitions().empty());
    sim_.setDown(false);
    ASSERT_TRUE(waitUntil([&] { return deliveredSessions().size() == 3; }, kDeadline));
    EXPECT_EQ(deliveredSessions(), (std::vector<std::string>{"s1", "s2", "s3"}));
    EXPECT_TRUE(monitoring_->running());
}

TEST_F(MonitoringLoopTest, SendsAttributesWithTheAgentsOwnOnce) {
    startLoop();
    ASSERT_TRUE(waitUntil([&] { return !sim_.attributes().empty(); }, kDeadline));
    const auto attributes = sim_.attributes().front().body.as_array();
    std::vector<std::string> keys;
    for (const auto& attribute : attributes) {
        keys.emplace_back(attribute.at("key").as_string());
    }
    ASSERT_GE(keys.size(), 6u);
    EXPECT_EQ(keys.front(), "app");
    EXPECT_EQ(std::vector<std::string>(keys.end() - 6, keys.end()),
              (std::vector<std::string>{"Ip", "Port", "ServiceVersion", "ServiceBuildDate",
                                        "Manufacturer", "OS"}));
    // A later change of the camera's settings resends the camera's attributes only.
    monitoring_->attributes_update();
    ASSERT_TRUE(waitUntil([&] { return sim_.attributes().size() == 2; }, kDeadline));
    const auto resent = sim_.attributes()[1].body.as_array();
    for (const auto& attribute : resent) {
        EXPECT_NE(attribute.at("key").as_string(), "Ip");
    }
}

TEST_F(MonitoringLoopTest, FindsItsDeviceIdBySerialNumber) {
    MonitoringSimulator::Device device;
    device.serialNumber = "PX2025091700417";  // the camera simulator's serial number
    const std::string id = sim_.addDevice(device);
    config_["korvane_monitoring_device_id"] = std::string();
    startLoop("");
    ASSERT_TRUE(
        waitUntil([&] { return monitoring_->getMonitoringSettings().deviceId == id; }, kDeadline));
    ASSERT_TRUE(waitUntil([&] { return !sim_.attributes().empty(); }, kDeadline));
    EXPECT_EQ(sim_.attributes().front().deviceId, id);
    const auto search = sim_.requests("GET", Routes::kDevices);
    ASSERT_EQ(search.size(), 1u);
    EXPECT_EQ(search[0].target,
              "/api/v1/devices?serial_number=PX2025091700417&model=Korvane%20Pellix%20Module"
              "&type=recognition_module");
    std::lock_guard lock(dbMutex_);
    EXPECT_EQ(config_.at("korvane_monitoring_device_id").convert<std::string>(), id);
    EXPECT_EQ(text("SELECT value FROM configurations WHERE key='korvane_monitoring_device_id'"),
              id);
}

TEST_F(MonitoringLoopTest, CheckActualStoresTheSourceModeSettings) {
    sim_.setStateAnswer(
        R"({"is_source_mode_enabled":true,"data_source":{"template_threshold":12,"polling_interval":45}})");
    startLoop();
    ASSERT_TRUE(waitUntil(
        [&] { return State::getInstance().get("need_check_actual")->convert<bool>() == false; },
        kDeadline));
    EXPECT_TRUE(State::getInstance().sm_enabled());
    EXPECT_EQ(State::getInstance().sm_template_threshold(), 12);
    EXPECT_EQ(State::getInstance().sm_polling_interval(), 45);
    EXPECT_EQ(MonitoringDriver::schedulerSource_.interval(), 45000);
    monitoring_->stop();
    EXPECT_EQ(text("SELECT value FROM internal_state WHERE key='source_mode_polling_interval_sec'"),
              "45");
    EXPECT_EQ(text("SELECT value FROM internal_state WHERE key='source_mode_enabled'"), "true");
}

TEST_F(MonitoringLoopTest, TaskFetchOutcomes) {
    startLoop();
    // Unknown type: rejected, never confirmed.
    sim_.queueTask({"", "reboot_all", boost::json::object{}});
    ASSERT_TRUE(waitUntil([&] { return sim_.taskAnswers().size() == 1; }, kDeadline));
    auto answer = sim_.taskAnswers()[0];
    EXPECT_EQ(answer.action, "reject");
    EXPECT_EQ(answer.body.at("description").as_string(), "Неизвестная задача: reboot_all");

    // Source mode switched by a task: stored, confirmed, and the source block rescheduled.
    sim_.queueTask({"", "set_source_mode",
                    boost::json::object{
                        {"enabled", false}, {"templateThreshold", 7}, {"pollingInterval", 60}}});
    ASSERT_TRUE(waitUntil([&] { return sim_.taskAnswers().size() == 2; }, kDeadline));
    answer = sim_.taskAnswers()[1];
    EXPECT_EQ(answer.action, "confirm");
    EXPECT_EQ(answer.body, boost::json::object{});
    // Rescheduled right after the confirmation went out.
    EXPECT_TRUE(waitUntil([] { return MonitoringDriver::schedulerSource_.interval() == 60000; },
                          kDeadline));

    // A failing handler is answered on the error path with its classification.
    sim_.queueTask({"", "set_source_mode", boost::json::object{{"enabled", "yes"}}});
    ASSERT_TRUE(waitUntil([&] { return sim_.taskAnswers().size() == 3; }, kDeadline));
    answer = sim_.taskAnswers()[2];
    EXPECT_EQ(answer.action, "error");
    EXPECT_EQ(answer.body.at("error").as_string(), "Системная ошибка");

    // A service error reaches the error callback.
    sim_.script("GET", Routes::kTask, {503, ""});
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& e : errors()) {
                if (e == "Task fetch error: HTTP error status: 503") return true;
            }
            return false;
        },
        kDeadline));
}

TEST_F(MonitoringLoopTest, UploadConfigTaskAsksForAReinit) {
    startLoop();
    sim_.queueTask({"", "upload_config_file",
                    boost::json::object{{"exportType", "ftp"}, {"filePath", "x.json"}}});
    ASSERT_TRUE(waitUntil([&] { return sim_.taskAnswers().size() == 1; }, kDeadline));
    EXPECT_EQ(sim_.taskAnswers()[0].action, "error");
    EXPECT_EQ(sim_.taskAnswers()[0].body.at("description").as_string(),
              "Неподдерживаемый тип файлового хранилища");
    EXPECT_EQ(reinits_.load(), 0);  // a failed task changes nothing
}

TEST(MonitoringMessages, ConvertStoredDatesAndBuildPathsAndKeys) {
    EXPECT_EQ(Engine::Sync::toIsoUtc("2025-03-04 05:06:07"), "2025-03-04T05:06:07Z");
    EXPECT_EQ(Engine::Sync::toIsoUtc("2025-03-04T05:06:07Z"), "2025-03-04T05:06:07Z");
    EXPECT_EQ(Engine::Sync::toIsoUtc("yesterday"), "yesterday");
    const auto when = Engine::Sync::storedDateToTimePoint("2025-03-04 05:06:07");
    ASSERT_TRUE(when);
    EXPECT_EQ(std::chrono::system_clock::to_time_t(*when), 1741064767);
    EXPECT_FALSE(Engine::Sync::storedDateToTimePoint("not a date"));
    EXPECT_EQ(Engine::Sync::recognitionImagePath("/data", "s1"), "/data/s1.jpg");
    EXPECT_EQ(Engine::Sync::recognitionImagePath("/data/", "s1"), "/data/s1.jpg");
    EXPECT_EQ(Engine::Sync::recognitionImageKey("D1", "s1"),
              "KorvaneMonitoring/RecognitionModules/korvane_pellix_module/D1/Images/"
              "recognition_D1_s1.jpg");
}

}  // namespace
