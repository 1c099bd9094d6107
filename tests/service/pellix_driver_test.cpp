// The camera driver's calling pattern and its setting and control operations, over real HTTP
// against the camera simulator: what the camera receives, the codes that come back, the
// connection state with its alert, and per-operation timeouts under concurrency.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "camera_driver_fixture.h"
#include "models_device.h"
#include "models_items.h"
#include "models_recognition.h"
#include "models_sync.h"

namespace korvane::Testing {
namespace {

namespace Models = Utils::Models;
using Driver = Engine::Driver::PellixDriver;
using namespace std::chrono_literals;

const std::string kLossLine = "Потеряна связь с устройством при выполнении команды ";

TEST_F(CameraDriverTest, ControlOperationsSendTheirRecordsAndLogTheCall) {
    Models::RecognitionInfo feedback;
    feedback.sid = "R1";
    feedback.id = "10001";
    feedback.product_name = "not sent";
    feedback.response_time_ms = 42;

    struct Case {
        std::string command;
        std::function<int(Driver&)> call;
        std::string body;  // as the camera received it
        std::string calledLine;
    };
    const std::vector<Case> cases = {
        {"result_feedback", [&](Driver& d) { return d.result_feedback(feedback); },
         R"({"sid":"R1","id":"10001"})", "result_feedback() called with sid: R1,id: 10001;"},
        {"set_sync_master",
         [](Driver& d) {
             return d.set_sync_master({true, false});
         },
         R"({"upload":true,"download":false})",
         "set_sync_master() called with upload: true, download: false;"},
        {"set_sync_slave",
         [](Driver& d) {
             return d.set_sync_slave({false, true, "10.0.0.2", "9000"});
         },
         R"({"upload":false,"download":true,"masterIP":"10.0.0.2","mastersyncPort":"9000"})",
         "set_sync_slave() called with upload: false, download: true, masterIP: 10.0.0.2; "
         "mastersyncPort:9000"},
        {"set_sync_slave",
         [](Driver& d) {
             return d.set_sync_slave({true, true, "10.0.0.3", std::nullopt});
         },
         R"({"upload":true,"download":true,"masterIP":"10.0.0.3"})",
         "set_sync_slave() called with upload: true, download: true, masterIP: 10.0.0.3; "
         "mastersyncPort:null"},
        {"set_sync_normal",
         [](Driver& d) {
             return d.set_sync_normal({false, false});
         },
         R"({"upload":false,"download":false})",
         "set_sync_normal() called with upload: false, download: false;"},
        {"set_max_result", [](Driver& d) { return d.set_max_result({3}); }, R"({"num":3})",
         "set_max_result() called with num: 3;"},
        {"set_time",
         [](Driver& d) {
             return d.set_time({1700000000, 250000});
         },
         R"({"sec":1700000000,"usec":250000})",
         "set_time() called with sec: 1700000000, usec: 250000;"},
        {"set_extra_info",
         [](Driver& d) {
             return d.set_extra_info({std::nullopt, "77", std::nullopt});
         },
         R"({"store_id":"77"})",
         "set_extra_info() called with store_name: null, store_id: 77, store_dep: null;"},
        {"set_extra_info",
         [](Driver& d) {
             return d.set_extra_info({"Shop", "78", "Fruit"});
         },
         R"({"store_name":"Shop","store_id":"78","store_dep":"Fruit"})",
         "set_extra_info() called with store_name: Shop, store_id: 78, store_dep: Fruit;"},
        {"set_calib",
         [](Driver& d) {
             return d.set_calib({10, 20, 300, 400});
         },
         R"({"left":10,"top":20,"width":300,"height":400})",
         "set_calib() called with left: 10, top: 20, width: 300, height: 400;"},
        {"set_sold_out_status",
         [](Driver& d) {
             return d.set_sold_out_status({"10001", true});
         },
         R"({"id":"10001","soldout":true})",
         "set_sold_out_status() called with id: 10001, soldout: true;"},
        {"set_superior",
         [](Driver& d) {
             return d.set_superior({"PX1", "10.0.0.9"});
         },
         R"({"sn":"PX1","ip":"10.0.0.9"})", "set_superior() called with sn: PX1 ip: 10.0.0.9;"},
        {"set_learnmode", [](Driver& d) { return d.set_learnmode({1}); }, R"({"mode":1})",
         "set_learnmode() called with mode: 1;"},
        {"set_sync_limit", [](Driver& d) { return d.set_sync_limit({50}); }, R"({"limit":50})",
         "set_sync_limit() called with limit: 50;"},
        {"set_sold_out_limit", [](Driver& d) { return d.set_sold_out_limit({7}); }, R"({"day":7})",
         "set_sold_out_limit() called with day: 7;"},
        {"set_deletion_all_flag", [](Driver& d) { return d.set_deletion_all_flag({"10002"}); },
         R"({"id":"10002"})", "set_deletion_all_flag() called with id: 10002;"},
        {"clear_deletion_all_flag", [](Driver& d) { return d.clear_deletion_all_flag({"10002"}); },
         R"({"id":"10002"})", "clear_deletion_all_flag() called with id: 10002;"},
        {"delete_item", [](Driver& d) { return d.delete_item({"10003"}); }, R"({"id":"10003"})",
         "delete_item() called with id: 10003;"},
        {"set_predict_speed", [](Driver& d) { return d.set_predict_speed({"fast"}); },
         R"({"speed":"fast"})", "set_predict_speed() called with speed: fast;"},
        {"manual_sync", [](Driver& d) { return d.manual_sync(); }, "null", "manual_sync() called;"},
        {"reboot", [](Driver& d) { return d.reboot(); }, "null", "reboot() called;"},
        {"enable_internet_once", [](Driver& d) { return d.enable_internet_once(); }, "null",
         "enable_internet_once() called;"},
        {"clear_all_template", [](Driver& d) { return d.clear_all_template(); }, "null",
         "clear_all_template() called;"},
        {"reset_device", [](Driver& d) { return d.reset_device(); }, "null",
         "reset_device() called;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.calledLine);
        LogCapture log;
        EXPECT_EQ(c.call(*driver_), 0);
        EXPECT_NE(log.text().find(c.calledLine + "\n"), std::string::npos) << log.text();
        const auto received = lastRequestOf(c.command);
        EXPECT_EQ(received.at("method").as_string(), "POST");
        EXPECT_EQ(received.at("path").as_string(), "/api/" + c.command);
        EXPECT_EQ(received.at("content_type").as_string(), "application/json");
        EXPECT_EQ(received.at("body").as_string(), c.body);
        // Before the reset at the end, check what the settings did to the camera.
        if (c.command == "enable_internet_once") {
            const auto state = simState();
            const auto& settings = state.at("settings").as_object();
            EXPECT_EQ(settings.at("calib").at("width").as_int64(), 300);
            EXPECT_EQ(settings.at("max_result_num").as_int64(), 3);
            EXPECT_EQ(settings.at("predict_speed").as_string(), "fast");
            EXPECT_EQ(state.at("sync").at("superior").at("ip").as_string(), "10.0.0.9");
            EXPECT_EQ(state.at("counters").at("reboots").as_int64(), 1);
            EXPECT_EQ(state.at("counters").at("internet_once").as_int64(), 1);
        }
    }
    const auto state = simState();
    EXPECT_TRUE(state.at("products").as_object().empty());
    EXPECT_EQ(state.at("counters").at("resets").as_int64(), 1);
    EXPECT_TRUE(driver_->isConnected());
    EXPECT_TRUE(alerts().empty());
}

TEST_F(CameraDriverTest, AddedTemplateCanBeListedAndDeleted) {
    LogCapture log;
    const auto [code, added] = driver_->add_item_template({"10001"});
    ASSERT_EQ(code, 0);
    EXPECT_FALSE(added.sid.empty());
    EXPECT_FALSE(added.image.empty());
    EXPECT_NE(log.text().find("add_item_template() completed; sid=" + added.sid + ";"),
              std::string::npos);
    EXPECT_EQ(lastRequestOf("add_item_template").at("body").as_string(), R"({"id":"10001"})");

    auto [listCode, ids, max] = driver_->get_item_template_list({"10001"});
    ASSERT_EQ(listCode, 0);
    EXPECT_EQ(ids.back(), added.sid);
    EXPECT_EQ(max, 20);

    EXPECT_EQ(driver_->delete_item_template({"10001", added.sid}), 0);
    EXPECT_EQ(lastRequestOf("delete_item_template").at("body").as_string(),
              R"({"id":"10001","sid":")" + added.sid + R"("})");
    const auto after = std::get<1>(driver_->get_item_template_list({"10001"}));
    EXPECT_EQ(after.size(), ids.size() - 1);
    // Deleting it again is the camera's parameter error, passed through as it is.
    EXPECT_EQ(driver_->delete_item_template({"10001", added.sid}), -6213);
}

// Each row is one exchange; the connection flag and the alert queue must follow the rows:
// an alert for every change from connected to lost, none while lost, none on recovery.
TEST_F(CameraDriverTest, FailuresBecomeCodesAndLossesRaiseOneAlertEach) {
    driver_ = driverFor(sim_->port(), {400ms, 10s, 15s});
    struct Case {
        const char* what;
        boost::json::object rule;  // empty: no fault
        std::function<int(Driver&)> call;
        int code;
    };
    const auto calib = [](Driver& d) { return d.set_calib({1, 2, 3, 4}); };
    const auto limit = [](Driver& d) { return d.get_sync_limit().first; };
    const std::vector<Case> cases = {
        {"camera code from a control",
         {{"command", "set_calib"}, {"error_code", -6213}},
         calib,
         -6213},
        {"camera code from a query",
         {{"command", "get_sync_limit"}, {"error_code", -6128}},
         limit,
         -6128},
        {"HTTP 404 is passed through",
         {{"command", "set_calib"}, {"http_status", 404}},
         calib,
         404},
        {"HTTP 500 on a query", {{"command", "get_sync_limit"}, {"http_status", 500}}, limit, 500},
        {"cut JSON",
         {{"command", "reboot"}, {"malformed", true}},
         [](Driver& d) { return d.reboot(); },
         -6103},
        {"still lost: no new alert",
         {{"command", "get_sync_limit"}, {"mistyped", true}},
         limit,
         -6103},
        {"back: a completed exchange", {}, calib, 0},
        {"strings given as numbers",
         {{"command", "get_device_info"}, {"mistyped", true}},
         [](Driver& d) { return d.get_device_info(true).first; },
         -6103},
        {"HTTP status while lost still counts as connected",
         {{"command", "set_calib"}, {"http_status", 503}},
         calib,
         503},
        {"connection reset",
         {{"command", "manual_sync"}, {"drop", true}},
         [](Driver& d) { return d.manual_sync(); },
         -6103},
        {"camera code after a loss reconnects",
         {{"command", "set_calib"}, {"error_code", -6213}},
         calib,
         -6213},
        {"slower than the timeout",
         {{"command", "get_superior"}, {"delay_ms", 1200}},
         [](Driver& d) { return d.get_superior().first; },
         -6103},
    };
    bool connected = true;
    std::vector<std::string> expectedAlerts;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        control("POST", "/sim/fault/clear");
        if (!c.rule.empty()) fault(c.rule);
        EXPECT_EQ(c.call(*driver_), c.code);
        const bool ok = c.code != -6103;
        if (connected && !ok) {
            expectedAlerts.push_back(kLossLine + c.rule.at("command").as_string().c_str());
        }
        connected = ok;
        EXPECT_EQ(driver_->isConnected(), connected);
        std::vector<std::string> texts;
        for (const auto& [code, text] : alerts()) {
            EXPECT_EQ(code, 400);
            texts.push_back(text);
        }
        EXPECT_EQ(texts, expectedAlerts);
    }
}

TEST_F(CameraDriverTest, FailureLinesNameTheOperation) {
    const std::vector<std::pair<boost::json::object, std::string>> cases = {
        {{{"command", "set_time"}, {"http_status", 404}}, "set_time() network failed: code = 404;"},
        {{{"command", "get_learnmode"}, {"error_code", -6213}},
         "get_learnmode() failed: code = -6213;"},
        {{{"command", "get_time"}, {"malformed", true}}, "get_time() exception: "},
    };
    for (const auto& [rule, line] : cases) {
        control("POST", "/sim/fault/clear");
        fault(rule);
        LogCapture log;
        if (rule.at("command") == "set_time") driver_->set_time({1, 2});
        if (rule.at("command") == "get_learnmode") driver_->get_learnmode(false);
        if (rule.at("command") == "get_time") driver_->get_time();
        EXPECT_NE(log.text().find(line), std::string::npos) << log.text();
    }
    // A control operation does not log the camera's refusal.
    control("POST", "/sim/fault/clear");
    fault({{"command", "set_calib"}, {"error_code", -6213}});
    LogCapture log;
    EXPECT_EQ(driver_->set_calib({}), -6213);
    EXPECT_EQ(log.text().find("failed"), std::string::npos) << log.text();
}

TEST_F(CameraDriverTest, RefusedConnectionAlertsOnceAndRecovers) {
    const auto port = closedPort();
    auto driver = driverFor(port);
    LogCapture log;
    const std::vector<std::function<int()>> calls = {
        [&] { return driver->get_device_info(false).first; },
        [&] {
            return driver->set_superior({"PX1", "10.0.0.1"});
        },
        [&] { return driver->reboot(); },
        [&] { return static_cast<int>(driver->get_item_list(true).first); },
        [&] { return std::get<0>(driver->get_item_template_list({"1"})); },
    };
    for (const auto& call : calls) {
        EXPECT_EQ(call(), -6103);
        EXPECT_FALSE(driver->isConnected());
    }
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts()[0], std::make_pair(400, kLossLine + "get_device_info"));
    const auto text = log.text();
    EXPECT_NE(text.find(kLossLine + "get_device_info\n"), std::string::npos);
    EXPECT_EQ(text.find(kLossLine + "set_superior"), std::string::npos);
    EXPECT_NE(text.find("set_superior() exception: "), std::string::npos);

    // The camera comes up on the same port.
    CameraSim::CameraSimulator::Options options;
    options.port = port;
    auto camera = std::make_unique<CameraSim::CameraSimulator>(options);
    camera->start();
    EXPECT_EQ(std::get<0>(driver->get_time()), 0);
    EXPECT_TRUE(driver->isConnected());
    EXPECT_EQ(alerts().size(), 1u);

    // Destroyed rather than stopped: only then is its listening socket closed.
    camera.reset();
    EXPECT_EQ(driver->set_superior({"PX1", "10.0.0.1"}), -6103);
    ASSERT_EQ(alerts().size(), 2u);
    EXPECT_EQ(alerts()[1], std::make_pair(400, kLossLine + "set_superior"));
}

// Threads that find the camera gone at the same moment still raise a single alert.
TEST_F(CameraDriverTest, SimultaneousFailuresRaiseOneAlert) {
    auto driver = driverFor(closedPort());
    std::vector<std::future<int>> calls;
    for (int i = 0; i < 8; ++i) {
        calls.push_back(std::async(std::launch::async, [&driver, i] {
            return i % 2 == 0 ? driver->get_sync_limit().first : driver->manual_sync();
        }));
    }
    for (auto& call : calls) EXPECT_EQ(call.get(), -6103);
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts()[0].first, 400);
    EXPECT_FALSE(driver->isConnected());
}

// Operations with a longer timeout run beside ordinary ones without lending it to them.
TEST_F(CameraDriverTest, ConcurrentOperationsKeepTheirOwnTimeouts) {
    driver_ = driverFor(sim_->port(), {500ms, 2000ms, 2500ms});
    for (const char* command : {"get_item_list", "set_sync_slave", "get_device_info"}) {
        fault({{"command", command}, {"delay_ms", 1100}});
    }
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        auto items = std::async(std::launch::async, [&] { return driver_->get_item_list(false); });
        auto slave = std::async(std::launch::async, [&] {
            return driver_->set_sync_slave({true, true, "10.0.0.5", std::nullopt});
        });
        auto info = std::async(std::launch::async, [&] {
            const auto start = std::chrono::steady_clock::now();
            const int code = driver_->get_device_info(false).first;
            return std::make_pair(code, std::chrono::steady_clock::now() - start);
        });
        // Quick commands meanwhile are unaffected by the slow ones.
        for (int i = 0; i < 3; ++i) EXPECT_EQ(driver_->get_sync_limit().first, 0);

        const auto [list, listed] = items.get();
        EXPECT_EQ(list, 0);
        EXPECT_EQ(listed.size(), 8u);
        EXPECT_EQ(slave.get(), 0);
        const auto [infoCode, took] = info.get();
        EXPECT_EQ(infoCode, -6103);
        EXPECT_LT(took, 1000ms);
    }
}

// The shipped timeouts: a 6.5-second answer is too slow for an ordinary command but not for
// the product list.
TEST_F(CameraDriverTest, DefaultTimeoutsDifferPerOperation) {
    fault({{"command", "get_item_list"}, {"delay_ms", 6500}});
    fault({{"command", "get_board_info"}, {"delay_ms", 6500}});
    auto items = std::async(std::launch::async, [&] { return driver_->get_item_list(true); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver_->get_board_info().first, -6103);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 5900ms);
    EXPECT_LT(took, 6450ms);
    EXPECT_EQ(items.get().first, 0);
}

}  // namespace
}  // namespace korvane::Testing
