#include "device_data_provider.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/ThreadPool.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent_utils.h"
#include "camera_driver_fixture.h"

namespace {

namespace json = boost::json;
using korvane::Engine::Sync::DeviceDataProvider;

// A camera that answers each command path with a fixed JSON body: for combinations of replies
// the simulator cannot be made to give.
class RoutedCamera {
  public:
    explicit RoutedCamera(std::map<std::string, std::string> replies)
        : replies_(std::move(replies)) {
        Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
        port_ = socket.address().port();
        server_ = std::make_unique<Poco::Net::HTTPServer>(new Factory(replies_), pool_, socket,
                                                          new Poco::Net::HTTPServerParams);
        server_->start();
    }
    ~RoutedCamera() { server_->stopAll(true); }
    std::uint16_t port() const { return port_; }

  private:
    class Handler : public Poco::Net::HTTPRequestHandler {
      public:
        explicit Handler(const std::map<std::string, std::string>& replies) : replies_(replies) {}
        void handleRequest(Poco::Net::HTTPServerRequest& request,
                           Poco::Net::HTTPServerResponse& response) override {
            const auto found = replies_.find(request.getURI());
            const std::string body = found == replies_.end() ? R"({"code":-6117})" : found->second;
            response.setContentType("application/json");
            response.sendBuffer(body.data(), body.size());
        }

      private:
        const std::map<std::string, std::string>& replies_;
    };
    class Factory : public Poco::Net::HTTPRequestHandlerFactory {
      public:
        explicit Factory(const std::map<std::string, std::string>& replies) : replies_(replies) {}
        Poco::Net::HTTPRequestHandler* createRequestHandler(
            const Poco::Net::HTTPServerRequest&) override {
            return new Handler(replies_);
        }

      private:
        const std::map<std::string, std::string>& replies_;
    };

    const std::map<std::string, std::string> replies_;
    Poco::ThreadPool pool_{1, 4};
    std::unique_ptr<Poco::Net::HTTPServer> server_;
    std::uint16_t port_ = 0;
};

// Attribute keys in order, checking on the way that every attribute is exactly {key, value}.
std::vector<std::string> keysOf(const json::array& attributes) {
    std::vector<std::string> keys;
    for (const auto& attribute : attributes) {
        const auto& object = attribute.as_object();
        EXPECT_EQ(object.size(), 2u) << json::serialize(attribute);
        EXPECT_TRUE(object.contains("value")) << json::serialize(attribute);
        keys.emplace_back(object.at("key").as_string());
    }
    return keys;
}

const std::vector<std::string> kAgentKeys = {
    "Ip", "Port", "ServiceVersion", "ServiceBuildDate", "Manufacturer", "OS"};

std::vector<std::string> concat(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const std::vector<std::string> kDeviceKeys = {
    "app",      "engine",        "firmware",     "item_count",     "learnMode",
    "masterIP", "masterSN",      "soldOutLimit", "max_result_num", "predict_speed",
    "sn",       "sync",          "sync_mode",    "sync_limit",     "upload",
    "download", "mastersyncPort"};

class DeviceDataProviderTest : public korvane::Testing::CameraDriverTest {
  protected:
    DeviceDataProviderTest() : camera_(driverFor(sim_->port())), provider_(camera_) {}

    std::shared_ptr<Driver> camera_;
    DeviceDataProvider provider_;
};

TEST_F(DeviceDataProviderTest, AgentAttributesGoOnceEvenWhileTheCameraIsDown) {
    control("POST", "/sim/down", R"({"seconds":60})");

    EXPECT_TRUE(provider_.need_sending_attributes());
    const auto first = provider_.get_attributes();
    ASSERT_EQ(keysOf(first), kAgentKeys);
    const std::vector<json::value> agentValues = {json::string(korvane::Utils::getLocalIP()),
                                                  "5555",
                                                  "1.0.0017",
                                                  "2026-09-30 08:45:07",
                                                  "Korvane",
                                                  "GNU/Linux"};
    for (std::size_t i = 0; i < agentValues.size(); ++i) {
        EXPECT_EQ(first[i].at("value"), agentValues[i]) << kAgentKeys[i];
    }
    EXPECT_EQ(provider_.get_serial_number(), "");
    const auto templates = provider_.get_product_templates();
    EXPECT_EQ(templates.first, -1);
    EXPECT_TRUE(templates.second.empty());

    // Delivered: the Agent's part is done, the camera's is still owed.
    provider_.attributes_send();
    EXPECT_TRUE(provider_.need_sending_attributes());
    EXPECT_TRUE(provider_.get_attributes().empty());

    control("POST", "/sim/up");
    const auto full = provider_.get_attributes();
    EXPECT_EQ(keysOf(full),
              concat(kDeviceKeys, {"store_name", "store_id", "store_dep", "clientID", "board"}));
    provider_.attributes_send();
    EXPECT_FALSE(provider_.need_sending_attributes());
    EXPECT_EQ(provider_.get_serial_number(), "PX2025091700417");
    const auto listed = provider_.get_product_templates();
    EXPECT_EQ(listed.first, 0);
    EXPECT_EQ(listed.second.size(), 8u);
    EXPECT_EQ(listed.second.front().id, "10001");

    // A resend asked for later carries the camera's set only.
    provider_.attributes_update();
    EXPECT_TRUE(provider_.need_sending_attributes());
    EXPECT_EQ(keysOf(provider_.get_attributes()).size(), full.size());
    provider_.attributes_send();
    EXPECT_FALSE(provider_.need_sending_attributes());
}

TEST_F(DeviceDataProviderTest, AttributesCarryTheCamerasValuesInOrderWithTheirTypes) {
    ASSERT_EQ(camera_->set_sync_slave({true, false, "10.0.0.9", "7001"}), 0);
    ASSERT_EQ(camera_->set_learnmode({1}), 0);
    ASSERT_EQ(camera_->set_max_result({3}), 0);
    ASSERT_EQ(camera_->set_sync_limit({25}), 0);
    ASSERT_EQ(camera_->set_sold_out_limit({5}), 0);
    ASSERT_EQ(camera_->set_extra_info({"Shop 5", std::nullopt, "Dairy"}), 0);

    const std::vector<std::pair<std::string, json::value>> expected = {
        {"app", "3.8.12"},
        {"engine", "E2.4.1"},
        {"firmware", "F1.9.6"},
        {"item_count", 8},
        {"learnMode", 1},
        {"masterIP", "10.0.0.9"},
        {"masterSN", "PX10009"},
        {"soldOutLimit", 5},
        {"max_result_num", 3},
        {"predict_speed", "normal"},
        {"sn", "PX2025091700417"},
        {"sync", "on"},
        {"sync_mode", "slave"},
        {"sync_limit", 25},
        {"upload", true},
        {"download", false},
        {"mastersyncPort", "7001"},
        {"store_name", "Shop 5"},
        {"store_id", ""},
        {"store_dep", "Dairy"},
        {"clientID", "px-client-00417"},
        {"board", "PX-RK3568"},
    };
    const auto attributes = provider_.get_attributes();
    ASSERT_EQ(attributes.size(), expected.size() + kAgentKeys.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& [key, value] = expected[i];
        EXPECT_EQ(attributes[i].at("key"), json::value(key));
        // json::value compares kinds too: an integer 1 is not true, a string "8" is not 8.
        EXPECT_EQ(attributes[i].at("value"), value) << key;
        EXPECT_EQ(attributes[i].at("value").kind(), value.kind()) << key;
    }
}

TEST_F(DeviceDataProviderTest, APartialReadOmitsWhatFailedAndKeepsAttributesOwed) {
    struct Case {
        const char* failing;
        std::vector<std::string> cameraKeys;
    };
    const std::vector<Case> cases = {
        // Without store details neither store nor board record is asked for; the device
        // record's board name still goes.
        {"get_extra_info", concat(kDeviceKeys, {"board"})},
        {"get_board_info", concat(kDeviceKeys, {"store_name", "store_id", "store_dep", "board"})},
        {"get_device_info", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        fault({{"command", c.failing}, {"error_code", -6213}, {"once", true}});
        DeviceDataProvider provider(camera_);
        EXPECT_EQ(keysOf(provider.get_attributes()), concat(c.cameraKeys, kAgentKeys));
        provider.attributes_send();
        EXPECT_TRUE(provider.need_sending_attributes());

        // The next pass reads everything and settles the flag.
        EXPECT_EQ(keysOf(provider.get_attributes()).size(), kDeviceKeys.size() + 5);
        provider.attributes_send();
        EXPECT_FALSE(provider.need_sending_attributes());
    }
}

TEST_F(DeviceDataProviderTest, BoardNameFallsBackToTheBoardRecord) {
    const std::string device =
        R"({"code":0,"data":{"app":"a","engine":"e","firmware":"f","item_count":0,)"
        R"("learnMode":0,"masterIP":"","masterSN":"","soldOutLimit":1,"max_result_num":5,)"
        R"("predict_speed":"fast","sn":"S1","sync":"off","sync_mode":"normal",)"
        R"("upload":false,"download":false,"sync_limit":10%s}})";
    const std::string board =
        R"({"code":0,"data":{"board":"RB-7","clientID":"c-7","engine":"e","firmware":"f",)"
        R"("sn":"S1","syncMode":"normal"}})";
    for (const std::string boardMember : {"", R"(,"board":"")"}) {
        SCOPED_TRACE(boardMember);
        std::string deviceReply = device;
        deviceReply.replace(deviceReply.find("%s"), 2, boardMember);
        RoutedCamera routed({{"/api/get_device_info", deviceReply},
                             {"/api/get_extra_info", R"({"code":0,"data":null})"},
                             {"/api/get_board_info", board}});
        std::shared_ptr<Driver> driver = driverFor(routed.port());
        DeviceDataProvider provider(driver);
        const auto attributes = provider.get_attributes();
        const auto keys = keysOf(attributes);
        ASSERT_EQ(keys, concat(concat(kDeviceKeys,
                                      {"store_name", "store_id", "store_dep", "clientID", "board"}),
                               kAgentKeys));
        EXPECT_EQ(attributes[kDeviceKeys.size() + 3].at("value"), "c-7");
        EXPECT_EQ(attributes[kDeviceKeys.size() + 4].at("value"), "RB-7");
        EXPECT_EQ(attributes[kDeviceKeys.size() - 1].at("value"), "");  // mastersyncPort
    }
}

TEST_F(DeviceDataProviderTest, AGoneDriverYieldsNothingAndIsNotKeptAlive) {
    const std::weak_ptr<Driver> watch = camera_;
    camera_.reset();
    EXPECT_TRUE(watch.expired());

    EXPECT_TRUE(provider_.get_attributes().empty());
    EXPECT_EQ(provider_.get_serial_number(), "");
    const auto templates = provider_.get_product_templates();
    EXPECT_EQ(templates.first, -1);
    EXPECT_TRUE(templates.second.empty());
    EXPECT_TRUE(requestsOf("get_device_info").empty());
}

TEST_F(DeviceDataProviderTest, AResendAskedForDuringAPassIsNotLost) {
    provider_.get_attributes();
    provider_.attributes_update();  // say, a setting changed while the pass was sending
    provider_.attributes_send();
    EXPECT_TRUE(provider_.need_sending_attributes());

    provider_.get_attributes();
    provider_.attributes_send();
    EXPECT_FALSE(provider_.need_sending_attributes());
}

TEST_F(DeviceDataProviderTest, TelemetryFlagAndEmptyTelemetry) {
    EXPECT_FALSE(provider_.need_sending_telemetries());
    provider_.telemetries_update();
    EXPECT_TRUE(provider_.need_sending_telemetries());
    EXPECT_TRUE(provider_.get_telemetries().empty());
    provider_.telemetries_send();
    EXPECT_FALSE(provider_.need_sending_telemetries());
}

TEST_F(DeviceDataProviderTest, AlarmsLeaveInOrderOnePerSend) {
    EXPECT_FALSE(provider_.need_sending_alarms());
    EXPECT_TRUE(provider_.get_alarm().is_null());
    provider_.alarm_send();  // nothing waiting: harmless

    provider_.set_alarm("400", "camera lost");
    provider_.set_alarm("400", "camera lost");
    provider_.set_alarm("500", "disk full");
    const std::vector<json::value> expected = {
        json::object{{"code", "400"}, {"description", "camera lost"}},
        json::object{{"code", "400"}, {"description", "camera lost"}},
        json::object{{"code", "500"}, {"description", "disk full"}},
    };
    for (const auto& alarm : expected) {
        ASSERT_TRUE(provider_.need_sending_alarms());
        EXPECT_EQ(provider_.get_alarm(), alarm);
        EXPECT_EQ(provider_.get_alarm(), alarm);  // reading does not consume
        provider_.alarm_send();
    }
    EXPECT_FALSE(provider_.need_sending_alarms());
}

TEST_F(DeviceDataProviderTest, AlarmsRaisedFromManyThreadsAreAllDeliveredInTheirOrder) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    std::vector<std::thread> raisers;
    for (int t = 0; t < kThreads; ++t) {
        raisers.emplace_back([this, t] {
            for (int i = 0; i < kPerThread; ++i) {
                provider_.set_alarm(std::to_string(t), std::to_string(i));
                if (i % 50 == 0) provider_.attributes_update();
            }
        });
    }
    std::vector<int> next(kThreads, 0);
    int delivered = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (delivered < kThreads * kPerThread && std::chrono::steady_clock::now() < deadline) {
        if (!provider_.need_sending_alarms()) {
            std::this_thread::yield();
            continue;
        }
        const auto alarm = provider_.get_alarm();
        const int t = std::stoi(std::string(alarm.at("code").as_string()));
        EXPECT_EQ(std::stoi(std::string(alarm.at("description").as_string())), next[t]);
        next[t] = std::stoi(std::string(alarm.at("description").as_string())) + 1;
        provider_.alarm_send();
        ++delivered;
    }
    for (auto& raiser : raisers) raiser.join();
    EXPECT_EQ(delivered, kThreads * kPerThread);
    EXPECT_FALSE(provider_.need_sending_alarms());
    EXPECT_TRUE(provider_.need_sending_attributes());
}

}  // namespace
