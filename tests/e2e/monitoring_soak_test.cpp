// Several minutes of a store's life through the real binary and the three simulators:
// weighings, a camera that drops out for a while (alerts), remote tasks, a monitoring service
// that refuses for a while, then quiet until the ping. Everything queued must arrive once and
// in order, every image must be in the store, and the log must hold no error the scenario did
// not provoke. KORVANE_SOAK_SECONDS sets the length of the traffic phase (default 60).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/json.hpp>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "agent_process.h"
#include "camera_simulator.h"
#include "http_client.h"
#include "monitoring_simulator.h"
#include "s3_sim_process.h"
#include "temp_dir.h"

using namespace korvane::Testing;
using namespace std::chrono_literals;
using korvane::CameraSim::CameraSimulator;
using korvane::MonitoringSim::MonitoringSimulator;
namespace Routes = korvane::MonitoringSim::Routes;

namespace {

std::chrono::seconds trafficLength() {
    const char* text = std::getenv("KORVANE_SOAK_SECONDS");
    return std::chrono::seconds(text ? std::max(10, std::atoi(text)) : 60);
}

// Error lines the scenario provokes on purpose: the camera outage and the service's refusals.
bool provoked(const std::string& line) {
    static const std::regex kExpected(
        "(get_result|get_time|get_image|get_device_info|get_extra_info|get_board_info)\\(\\) "
        "exception: Connection reset by peer;|Потеряна связь с устройством при выполнении команды|"
        "send Recognition exception: \\{\\};|Task=exec_command with id=\\S+ failed with driver "
        "error: -6103");
    return std::regex_search(line, kExpected);
}

class MonitoringSoakTest : public ::testing::Test {
  protected:
    MonitoringSoakTest() : s3_(KORVANE_S3_SIM_SCRIPT, s3Dir_.path().string()) {}

    void SetUp() override {
        camera_.start();
        monitoring_.start();
        const auto& s3 = s3_.credentials();
        const boost::json::object config{
            {"device_ip", "127.0.0.1"},
            {"device_port", std::to_string(camera_.port())},
            {"monitoring_service_address", "http://127.0.0.1"},
            {"monitoring_service_port", std::to_string(monitoring_.port())},
            {"korvane_monitoring_client_secret", "sim-secret"},
            {"korvane_monitoring_device_id", "D1"},
            {"monitoring_getting_tasks", true},
            {"monitoring_request_frequency", 1000},
            // The scripted refusals are short; a short backoff keeps the checks' deadlines.
            {"monitoring_backoff_max_s", 2},
            {"recognition_image_sending_enable", true},
            {"file_storage_service_address", s3_.endpoint()},
            {"file_storage_service_bucket", s3.bucket},
            {"file_storage_service_login", s3.accessKey},
            {"file_storage_service_password", s3.secretKey}};
        const std::string data = home_.file(".local/share/KORVANE/PellixAgent");
        std::filesystem::create_directories(data);
        writeFile(data + "/config.json", boost::json::serialize(config));
        agent_ = std::make_unique<ChildProcess>(KORVANE_AGENT_BINARY, std::vector<std::string>{},
                                                agentEnvironment(home_.path().string()),
                                                output_.path().string());
        ASSERT_TRUE(waitUntil(agentAnswers, 15s)) << agent_->stderrText();
    }

    void TearDown() override {
        agent_->signal(SIGTERM);
        EXPECT_EQ(agent_->waitForExit(20s), std::optional<int>(0));
        monitoring_.stop();
        camera_.stop();
    }

    // A weighing confirmed by the cashier; the sid, or "" when the camera was not there.
    std::string weigh() {
        try {
            const auto result =
                boost::json::parse(httpRequest(kAgentPort, "GET", "/api/get_result").body);
            if (result.at("code").as_int64() != 0) return "";
            const std::string sid(result.at("data").at("sid").as_string());
            const boost::json::object feedback{
                {"sid", sid}, {"id", "10001"}, {"product_weight", 0.5}};
            const auto answer = httpRequest(kAgentPort, "POST", "/api/result_feedback",
                                            boost::json::serialize(feedback), "application/json");
            return answer.body == R"({"code":0,"data":null})" ? sid : "";
        } catch (const std::exception&) {
            return "";
        }
    }

    std::string agentLog() const {
        std::string text;
        std::error_code error;
        const auto dir = home_.path() / ".local/share/KORVANE/PellixAgent/logs";
        for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
            text += readFile(entry.path().string());
        }
        return text;
    }

    TempDir home_;
    TempDir output_;
    TempDir s3Dir_;
    CameraSimulator camera_{CameraSimulator::Options{}};
    MonitoringSimulator monitoring_;
    S3SimProcess s3_;
    std::unique_ptr<ChildProcess> agent_;
};

TEST_F(MonitoringSoakTest, MinutesOfTrafficArriveOnceInOrderThenThePingGoesOut) {
    const auto length = trafficLength();
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::string> weighed;
    std::set<std::string> taskIds;
    int cameraDrops = 0;
    bool serviceRefused = false;
    std::mt19937 random(7);
    while (std::chrono::steady_clock::now() - begin < length) {
        const auto elapsed = std::chrono::steady_clock::now() - begin;
        if ((cameraDrops == 0 && elapsed > length / 4) ||
            (cameraDrops == 1 && elapsed > length * 3 / 4)) {
            // Two outages the driver notices: each queues one "camera lost" alert.
            httpRequest(camera_.port(), "POST", "/sim/down", R"({"seconds":3})",
                        "application/json");
            ++cameraDrops;
        }
        if (!serviceRefused && elapsed > length / 2) {
            monitoring_.script("POST", Routes::kRecognition,
                               std::vector<MonitoringSimulator::Answer>(5, {500, "{}"}));
            serviceRefused = true;
        }
        if (const std::string sid = weigh(); !sid.empty()) weighed.push_back(sid);
        if (random() % 4 == 0) {
            taskIds.insert(monitoring_.queueTask(
                {"", "exec_command",
                 boost::json::object{
                     {"kind", "camera"}, {"cmd", "get_time"}, {"args", boost::json::object{}}}}));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500 + random() % 1000));
    }
    ASSERT_GT(weighed.size(), 5u);

    // Everything drains: one entry per pass.
    const auto drained = [&] {
        std::size_t delivered = 0;
        for (const auto& message : monitoring_.recognitions()) delivered += message.status == 200;
        return delivered == weighed.size() && monitoring_.pendingTasks() == 0 &&
               monitoring_.taskAnswers().size() == taskIds.size();
    };
    ASSERT_TRUE(waitUntil(drained, std::chrono::seconds(60 + 2 * weighed.size())));

    std::vector<std::string> delivered;
    const auto objects = s3_.objects();
    for (const auto& message : monitoring_.recognitions()) {
        if (message.status != 200) continue;
        const std::string sid(message.body.at("recognition_session").as_string());
        delivered.push_back(sid);
        const std::string url(message.body.at("recognition_image_url").as_string());
        const std::string key = url.substr(url.find("KorvaneMonitoring/"));
        EXPECT_TRUE(objects.contains(key)) << sid;
    }
    EXPECT_EQ(delivered, weighed);  // once each, in the order weighed
    std::set<std::string> answered;
    for (const auto& answer : monitoring_.taskAnswers()) {
        EXPECT_TRUE(answered.insert(answer.taskId).second) << "answered twice: " << answer.taskId;
        EXPECT_EQ(taskIds.count(answer.taskId), 1u);
        // A task that met the camera outage reports it; every other one is confirmed.
        if (answer.action != "confirm") {
            EXPECT_EQ(answer.action, "error");
            EXPECT_EQ(answer.body.at("error").as_string(), "-6103");
        }
    }
    // Both outages were reported, oldest first.
    const auto alerts = monitoring_.alerts();
    ASSERT_GE(alerts.size(), 2u);
    for (std::size_t i = 1; i < alerts.size(); ++i) {
        EXPECT_LE(alerts[i - 1].body.at("created_at").as_string(),
                  alerts[i].body.at("created_at").as_string());
    }
    const auto info =
        boost::json::parse(httpRequest(kAgentPort, "GET", "/api/agent/get_info").body);
    EXPECT_EQ(info.at("data").at("non_send_alert_count").as_int64(), 0);
    EXPECT_EQ(info.at("data").at("non_send_recognition_count").as_int64(), 0);

    // Quiet: with task fetching off (every fetch is an exchange), the ping goes out four
    // minutes after the last exchange.
    ASSERT_EQ(httpRequest(kAgentPort, "POST", "/api/agent/set_config",
                          R"({"monitoring_getting_tasks":false})", "application/json")
                  .body,
              R"({"code":0,"data":null})");
    monitoring_.clearRecords();
    const auto ping = [&] {
        for (const auto& message : monitoring_.telemetry()) {
            if (message.body == boost::json::parse(R"([{"key":"ping","value":true}])")) return true;
        }
        return false;
    };
    EXPECT_TRUE(waitUntil(ping, 260s));

    std::istringstream lines(agentLog());
    for (std::string line; std::getline(lines, line);) {
        if (line.find("[error]") != std::string::npos) {
            EXPECT_TRUE(provoked(line)) << line;
        }
    }
}

}  // namespace
