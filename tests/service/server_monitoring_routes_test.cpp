// The local API's relay to the monitoring service and its connection check, through a real
// Server on a free port and the monitoring simulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <filesystem>

#include "http_client.h"
#include "monitoring_simulator.h"
#include "server.h"
#include "temp_dir.h"

using namespace korvane::Testing;
using korvane::Engine::Test::Server;
using korvane::MonitoringSim::MonitoringSimulator;
namespace Routes = korvane::MonitoringSim::Routes;

namespace {

constexpr auto kDeadline = std::chrono::seconds(10);

class ServerMonitoringRoutesTest : public ::testing::Test {
  protected:
    ServerMonitoringRoutesTest() : home_("HOME", dir_.path().c_str()) {
        const std::string appData = dir_.file(".local/share/KORVANE/PellixAgent");
        std::filesystem::create_directories(appData);
        sim_.start();
        server_ = std::make_unique<Server>(0, appData + "/service.db");
        server_->Run();
    }
    ~ServerMonitoringRoutesTest() override {
        server_.reset();
        sim_.stop();
    }

    HttpResult call(const std::string& method, const std::string& path,
                    const std::string& body = "") {
        return httpRequest(server_->port(), method, path, body,
                           body.empty() ? "" : "application/json");
    }

    int checkConnect() {
        return static_cast<int>(
            boost::json::parse(call("GET", "/api/agent/check_connect").body).at("code").as_int64());
    }

    void pointAtSimulator(const std::string& address = "http://127.0.0.1") {
        const boost::json::object settings{{"monitoring_service_address", address},
                                           {"monitoring_service_port", std::to_string(sim_.port())},
                                           {"korvane_monitoring_client_secret", "sim-secret"},
                                           {"korvane_monitoring_device_id", "D1"}};
        ASSERT_EQ(call("POST", "/api/agent/set_config", boost::json::serialize(settings)).body,
                  R"({"code":0,"data":null})");
    }

    // What the simulator received apart from the monitoring loop's own traffic.
    std::vector<MonitoringSimulator::RecordedRequest> relayed() {
        std::vector<MonitoringSimulator::RecordedRequest> kept;
        for (auto& request : sim_.requests()) {
            if (request.route != Routes::kToken && request.deviceId != "D1") {
                kept.push_back(std::move(request));
            }
        }
        return kept;
    }

    void connect() {
        pointAtSimulator();
        ASSERT_TRUE(waitUntil([&] { return checkConnect() == 0; }, kDeadline));
        sim_.clearRecords();
    }

    TempDir dir_;
    ScopedEnv home_;
    MonitoringSimulator sim_;
    std::unique_ptr<Server> server_;
};

TEST_F(ServerMonitoringRoutesTest, RoutesSelectTheOperationByPathAndMethod) {
    connect();
    struct Case {
        std::string method;
        std::string localPath;
        std::string body;
        std::string expectedMethod;
        std::string expectedTarget;  // empty: the Agent answers 404 and sends nothing
    } cases[] = {
        {"GET", "/api/monitoring/stores?page=1", "", "GET", "/api/v1/stores?page=1"},
        {"GET", "/api/monitoring/stores/types", "", "GET", "/api/v1/stores/types"},
        {"GET", "/api/monitoring/stores/departments", "", "GET", "/api/v1/stores/departments"},
        {"GET", "/api/monitoring/stores/regions", "", "GET", "/api/v1/stores/regions"},
        {"GET", "/api/monitoring/devices?b=2&a=1", "", "GET", "/api/v1/devices?b=2&a=1"},
        {"POST", "/api/monitoring/devices", R"({"serial_number":"N1"})", "POST", "/api/v1/devices"},
        {"GET", "/api/monitoring/devices/models", "", "GET", "/api/v1/devices/models"},
        {"POST", "/api/monitoring/devices/models", R"({"name":"M"})", "POST",
         "/api/v1/devices/models"},
        {"POST", "/api/monitoring/devices/data", R"({"ids":[]})", "POST", "/api/v1/devices/data"},
        {"GET", "/api/monitoring/devices/data", "", "GET", "/api/v1/devices/data"},
        {"GET", "/api/monitoring/devices/abc/attributes?z=1&a=2", "", "GET",
         "/api/v1/devices/abc/attributes?z=1&a=2"},
        {"PATCH", "/api/monitoring/devices/models", R"({"name":"x"})", "PATCH",
         "/api/v1/devices/models"},
        {"DELETE", "/api/monitoring/devices/abc", "", "DELETE", "/api/v1/devices/abc"},
        {"GET", "/api/monitoring/devices/x%3Fa=1%2F..%2Fy", "", "GET",
         "/api/v1/devices/x%3Fa%3D1%2F..%2Fy"},
        {"GET", "/api/monitoring", "", "", ""},
        {"GET", "/api/monitoring/stores/other", "", "", ""},
        {"POST", "/api/monitoring/stores", "{}", "", ""},
        {"POST", "/api/monitoring/devices/abc", "{}", "", ""},
        {"DELETE", "/api/monitoring/devices", "", "", ""},
        {"PUT", "/api/monitoring/devices/abc", "{}", "", ""},
        {"GET", "/api/monitoring/devices/abc/other", "", "", ""},
        {"GET", "/api/monitoring/devices/abc/attributes/more", "", "", ""},
        {"GET", "/api/monitoring/other", "", "", ""},
    };
    for (const auto& c : cases) {
        sim_.clearRecords();
        const auto answer = call(c.method, c.localPath, c.body);
        const auto requests = relayed();
        if (c.expectedTarget.empty()) {
            EXPECT_EQ(answer.status, 404) << c.method << " " << c.localPath;
            EXPECT_TRUE(requests.empty()) << c.method << " " << c.localPath;
            continue;
        }
        ASSERT_EQ(requests.size(), 1u) << c.method << " " << c.localPath;
        EXPECT_EQ(requests[0].method, c.expectedMethod) << c.localPath;
        EXPECT_EQ(requests[0].target, c.expectedTarget) << c.localPath;
        const auto envelope = boost::json::parse(answer.body).as_object();
        EXPECT_EQ(envelope.at("code").as_int64(), requests[0].status) << c.localPath;
        EXPECT_EQ(answer.status, requests[0].status) << c.localPath;
    }
}

TEST_F(ServerMonitoringRoutesTest, AnswersCarryTheServiceStatusAndBody) {
    connect();
    sim_.script("GET", Routes::kStores, {200, R"({"data":[{"id":"S1"}],"total":1})"});
    auto answer = call("GET", "/api/monitoring/stores");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(boost::json::parse(answer.body),
              boost::json::parse(R"({"code":200,"data":{"data":[{"id":"S1"}],"total":1}})"));

    sim_.script("DELETE", Routes::kDevice, {401, R"({"error":"denied"})"});
    answer = call("DELETE", "/api/monitoring/devices/abc");
    EXPECT_EQ(answer.status, 401);
    EXPECT_EQ(boost::json::parse(answer.body),
              boost::json::parse(R"({"code":401,"data":{"error":"denied"}})"));
    // The service refused the token: the loop renews it before anything else is relayed.
    ASSERT_TRUE(waitUntil([&] { return checkConnect() == 0; }, kDeadline));

    sim_.script("GET", Routes::kDevices, {204, ""});
    answer = call("GET", "/api/monitoring/devices");
    EXPECT_EQ(answer.status, 204);

    sim_.script("GET", Routes::kStoreTypes, {200, "not json"});
    answer = call("GET", "/api/monitoring/stores/types");
    EXPECT_EQ(answer.status, 502);
    const auto envelope = boost::json::parse(answer.body);
    EXPECT_EQ(envelope.at("code").as_int64(), 502);
    EXPECT_TRUE(envelope.at("data").at("error").is_string());
}

TEST_F(ServerMonitoringRoutesTest, WithoutATokenNothingIsRelayed) {
    sim_.refuseNextTokens(1000, 401);
    pointAtSimulator();
    ASSERT_TRUE(waitUntil([&] { return !sim_.tokenRequests().empty(); }, kDeadline));
    EXPECT_EQ(checkConnect(), -10002);
    sim_.clearRecords();
    const auto answer = call("GET", "/api/monitoring/stores");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, R"({"code":-10002,"data":null})");
    EXPECT_TRUE(relayed().empty());
    EXPECT_EQ(call("POST", "/api/agent/check_connect", "{}").status, 404);
}

TEST_F(ServerMonitoringRoutesTest, EmptyAddressSwitchesMonitoringOffAndKeepsServing) {
    pointAtSimulator("");
    EXPECT_EQ(checkConnect(), -10002);
    EXPECT_EQ(call("GET", "/api/monitoring/stores").body, R"({"code":-10002,"data":null})");
    const auto info = boost::json::parse(call("GET", "/api/agent/get_info").body);
    EXPECT_EQ(info.at("code").as_int64(), 0);
    // Switching it back on reconnects.
    pointAtSimulator();
    EXPECT_TRUE(waitUntil([&] { return checkConnect() == 0; }, kDeadline));
}

}  // namespace

namespace {

// Configuration changes rebuild every component while camera requests, relay requests and
// the monitoring loop use them; run under ThreadSanitizer this is the race check.
TEST_F(ServerMonitoringRoutesTest, ConfigurationChangesRaceWithRequestsAndTheLoop) {
    connect();
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; !stop; ++i) {
            const boost::json::object change{
                {"monitoring_request_frequency", 100 + i % 50},
                {"device_ip", "127.0.0." + std::to_string(1 + i % 2)},
                {"korvane_monitoring_device_id", "D" + std::to_string(i % 3)}};
            if (call("POST", "/api/agent/set_config", boost::json::serialize(change)).body !=
                R"({"code":0,"data":null})") {
                ++failures;
            }
        }
    });
    threads.emplace_back([&] {
        while (!stop) {
            if (call("GET", "/api/get_device_info").status != 200) ++failures;
            call("GET", "/api/monitoring/stores");
            call("GET", "/api/agent/check_connect");
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    stop = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(waitUntil([&] { return checkConnect() == 0; }, kDeadline));
}

}  // namespace
