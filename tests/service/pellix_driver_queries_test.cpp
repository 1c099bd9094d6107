// The camera driver's queries: what they ask the camera, how they read its answers (strictly,
// with null lists as empty ones), and the picture, over real HTTP against the camera simulator
// and, for answers the simulator never gives, a canned-reply server.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
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

TEST_F(CameraDriverTest, QueriesUseTheMethodAskedForAndReadTheCamerasState) {
    struct Case {
        std::string command;
        std::function<int(Driver&, bool)> call;
        bool hasPostFlag;
    };
    ASSERT_EQ(driver_->set_calib({10, 20, 300, 400}), 0);
    ASSERT_EQ(driver_->set_learnmode({1}), 0);
    ASSERT_EQ(driver_->set_sync_limit({50}), 0);
    ASSERT_EQ(driver_->set_superior({"PX9", "10.0.0.9"}), 0);
    ASSERT_EQ(driver_->set_time({1700000000, 250000}), 0);
    ASSERT_EQ(driver_->set_sync_slave({true, false, "10.0.0.2", "9000"}), 0);
    ASSERT_EQ(driver_->manual_sync(), 0);

    const std::vector<Case> cases = {
        {"get_device_info",
         [](Driver& d, bool post) {
             const auto [code, info] = d.get_device_info(post);
             EXPECT_EQ(info.sn, "PX2025091700417");
             EXPECT_EQ(info.board, "PX-RK3568");
             EXPECT_EQ(info.item_count, 8);
             EXPECT_EQ(info.learnMode, 1);
             EXPECT_EQ(info.sync_mode, "slave");
             EXPECT_EQ(info.sync, "on");
             EXPECT_EQ(info.masterIP, "10.0.0.2");
             EXPECT_EQ(info.masterSN, "PX10002");
             EXPECT_EQ(info.mastersyncPort, "9000");
             EXPECT_TRUE(info.upload);
             EXPECT_FALSE(info.download);
             EXPECT_EQ(info.sync_limit, 50);
             EXPECT_FALSE(info.app.empty());
             EXPECT_FALSE(info.predict_speed.empty());
             return code;
         },
         true},
        {"get_calib",
         [](Driver& d, bool post) {
             const auto [code, left, top, width, height] = d.get_calib(post);
             EXPECT_EQ(std::make_tuple(left, top, width, height),
                       std::make_tuple(10, 20, 300, 400));
             return code;
         },
         true},
        {"get_learnmode",
         [](Driver& d, bool post) {
             const auto [code, mode] = d.get_learnmode(post);
             EXPECT_EQ(mode, 1);
             return code;
         },
         true},
        {"get_sync_status",
         [](Driver& d, bool post) {
             const auto [code, status] = d.get_sync_status(post);
             EXPECT_EQ(status.count, 1);
             EXPECT_EQ(status.message, "sync completed");
             EXPECT_FALSE(status.synctime.empty());
             return code;
         },
         true},
        {"get_item_list",
         [](Driver& d, bool post) {
             const auto [code, items] = d.get_item_list(post);
             EXPECT_EQ(items.size(), 8u);
             if (!items.empty()) {
                 EXPECT_EQ(items.front().id, "10001");
                 EXPECT_GT(items.front().count, 0);
                 EXPECT_FALSE(items.front().soldout.has_value());
             }
             return code;
         },
         true},
        {"get_result",
         [](Driver& d, bool post) {
             const auto [code, result] = d.get_result(post);
             EXPECT_FALSE(result.sid.empty());
             EXPECT_FALSE(result.items.empty());
             return code;
         },
         true},
        {"get_sync_limit",
         [](Driver& d, bool) {
             const auto [code, limit] = d.get_sync_limit();
             EXPECT_EQ(limit, 50);
             return code;
         },
         false},
        {"get_superior",
         [](Driver& d, bool) {
             const auto [code, superior] = d.get_superior();
             EXPECT_EQ(superior.sn, "PX9");
             EXPECT_EQ(superior.ip, "10.0.0.9");
             return code;
         },
         false},
        {"get_time",
         [](Driver& d, bool) {
             const auto [code, sec, usec] = d.get_time();
             EXPECT_GE(sec, 1700000000);
             EXPECT_LT(sec, 1700000060);
             EXPECT_LT(usec, 1000000);
             return code;
         },
         false},
        {"get_board_info",
         [](Driver& d, bool) {
             const auto [code, board] = d.get_board_info();
             EXPECT_EQ(board.board, "PX-RK3568");
             EXPECT_EQ(board.clientID, "px-client-00417");
             EXPECT_EQ(board.sn, "PX2025091700417");
             EXPECT_EQ(board.syncMode, "slave");
             EXPECT_FALSE(board.engine.empty());
             EXPECT_FALSE(board.firmware.empty());
             return code;
         },
         false},
    };
    for (const auto& c : cases) {
        for (const bool post : {true, false}) {
            if (!c.hasPostFlag && post) continue;
            SCOPED_TRACE(c.command + (post ? " POST" : " GET"));
            EXPECT_EQ(c.call(*driver_, post), 0);
            const auto received = lastRequestOf(c.command);
            EXPECT_EQ(received.at("path").as_string(), "/api/" + c.command);
            // get_sync_limit is always a POST; the other fixed queries are GETs.
            const bool expectPost = c.hasPostFlag ? post : c.command == "get_sync_limit";
            EXPECT_EQ(received.at("method").as_string(), expectPost ? "POST" : "GET");
            EXPECT_EQ(received.at("body").as_string(), expectPost ? "null" : "");
        }
    }
    EXPECT_TRUE(alerts().empty());
}

TEST_F(CameraDriverTest, ListsFollowTheCamerasProducts) {
    // Nothing flagged yet: the camera answers null.
    LogCapture log;
    auto [code, progress] = driver_->get_deletion_all_progress();
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(progress.empty());
    EXPECT_NE(log.text().find("get_deletion_all_progress(): data is null, returning empty list"),
              std::string::npos);

    ASSERT_EQ(driver_->set_deletion_all_flag({"10002"}), 0);
    std::tie(code, progress) = driver_->get_deletion_all_progress();
    EXPECT_EQ(code, 0);
    ASSERT_EQ(progress.size(), 1u);
    EXPECT_EQ(progress[0].id, "10002");
    EXPECT_EQ(progress[0].SNs, std::vector<std::string>{"PX2025091700417"});

    ASSERT_EQ(driver_->set_sold_out_status({"10001", false}), 0);
    auto items = driver_->get_item_list(false).second;
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items[0].soldout, std::optional<bool>(false));
    EXPECT_EQ(
        std::count_if(items.begin(), items.end(), [](const auto& i) { return i.id == "10002"; }),
        0);

    auto [listCode, templates, max] = driver_->get_item_template_list({"no-such-product"});
    EXPECT_EQ(listCode, 0);
    EXPECT_TRUE(templates.empty());
    EXPECT_EQ(max, 20);
    EXPECT_EQ(lastRequestOf("get_item_template_list").at("body").as_string(),
              R"({"id":"no-such-product"})");

    ASSERT_EQ(driver_->clear_all_template(), 0);
    const auto [emptyCode, none] = driver_->get_item_list(true);
    EXPECT_EQ(emptyCode, 0);
    EXPECT_TRUE(none.empty());
    EXPECT_NE(log.text().find("get_item_list(): data is null, returning empty list"),
              std::string::npos);
}

TEST_F(CameraDriverTest, RecognitionResultKeepsTheCamerasOrderAndSession) {
    control("POST", "/sim/config",
            R"({"fixed_result":[{"id":"A","score":0.9},{"id":"B","score":0.25}]})");
    const auto [code, result] = driver_->get_result(true);
    ASSERT_EQ(code, 0);
    ASSERT_EQ(result.items.size(), 2u);
    EXPECT_EQ(result.items[0].id, "A");
    EXPECT_DOUBLE_EQ(result.items[0].score, 0.9);
    EXPECT_EQ(result.items[1].id, "B");
    EXPECT_DOUBLE_EQ(result.items[1].score, 0.25);

    control("POST", "/sim/config", R"({"fixed_result":[]})");
    LogCapture log;
    const auto [noneCode, none] = driver_->get_result(false);
    EXPECT_EQ(noneCode, 0);
    EXPECT_TRUE(none.items.empty());
    EXPECT_FALSE(none.sid.empty());
    EXPECT_NE(result.sid, none.sid);
    EXPECT_NE(log.text().find("get_result(): items is null, returning empty item list"),
              std::string::npos);
}

TEST_F(CameraDriverTest, ExtraInfoIsAbsentUntilSet) {
    auto [code, info] = driver_->get_extra_info();
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(info.store_name || info.store_id || info.store_dep);

    ASSERT_EQ(driver_->set_extra_info({std::nullopt, "77", std::nullopt}), 0);
    std::tie(code, info) = driver_->get_extra_info();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(info.store_id, std::optional<std::string>("77"));
    EXPECT_FALSE(info.store_name || info.store_dep);
}

TEST_F(CameraDriverTest, FailedQueriesCarryOnlyTheCode) {
    fault({{"command", "get_device_info"}, {"error_code", -6213}});
    fault({{"command", "get_calib"}, {"http_status", 404}});
    fault({{"command", "get_item_list"}, {"mistyped", true}});
    const auto [infoCode, info] = driver_->get_device_info(true);
    EXPECT_EQ(infoCode, -6213);
    EXPECT_TRUE(info.sn.empty());
    EXPECT_EQ(info.item_count, 0);
    EXPECT_EQ(driver_->get_calib(false), std::make_tuple(404, 0, 0, 0, 0));
    const auto [listCode, items] = driver_->get_item_list(false);
    EXPECT_EQ(listCode, -6103);
    EXPECT_TRUE(items.empty());
}

// Answers the simulator never gives, served verbatim. Each row is one query against one reply;
// `check` looks at the parsed data when the code is 0.
TEST_F(CameraDriverTest, RepliesAreReadStrictly) {
    CannedCamera camera;
    auto driver = driverFor(camera.port());
    const std::string device =
        R"("app":"1.2","engine":"e","firmware":"f","item_count":3,"learnMode":0,"masterIP":"",)"
        R"("masterSN":"","soldOutLimit":2,"max_result_num":5,"predict_speed":"normal",)"
        R"("sync":"off","sync_mode":"normal","upload":false,"download":true,"sync_limit":9)";
    struct Case {
        const char* what;
        std::string reply;
        std::function<int(Driver&)> call;
        int code;
    };
    const auto deviceInfo = [](Driver& d) {
        const auto [code, info] = d.get_device_info(false);
        if (code == 0) {
            EXPECT_EQ(info.sn, "S1");
            EXPECT_EQ(info.item_count, 3);
            EXPECT_TRUE(info.download);
            EXPECT_EQ(info.sync_limit, 9);
            EXPECT_EQ(info.board, "");
            EXPECT_EQ(info.mastersyncPort, "");
        }
        return code;
    };
    const auto result = [](Driver& d) {
        const auto [code, res] = d.get_result(true);
        if (code == 0) {
            EXPECT_TRUE(res.items.empty());
            EXPECT_EQ(res.sid, "S9");
        }
        return code;
    };
    const auto itemList = [](Driver& d) {
        const auto [code, items] = d.get_item_list(true);
        if (code == 0) {
            EXPECT_TRUE(items.empty());
        }
        return code;
    };
    const auto limit = [](Driver& d) { return d.get_sync_limit().first; };
    const auto templates = [](Driver& d) {
        const auto [code, ids, max] = d.get_item_template_list({"7"});
        if (code == 0) {
            EXPECT_TRUE(ids.empty());
            EXPECT_EQ(max, 3);
        }
        return code;
    };
    const std::vector<Case> cases = {
        {"device info without board and port", R"({"code":0,"data":{)" + device + R"(,"sn":"S1"}})",
         deviceInfo, 0},
        {"device info without sn", R"({"code":0,"data":{)" + device + "}}", deviceInfo, -6103},
        {"serial number as a number", R"({"code":0,"data":{)" + device + R"(,"sn":1}})", deviceInfo,
         -6103},
        {"board as a number", R"({"code":0,"data":{)" + device + R"(,"sn":"S1","board":5}})",
         deviceInfo, -6103},
        {"integer score", R"({"code":0,"data":{"items":[{"id":"A","score":1}],"sid":"S9"}})",
         result, -6103},
        {"score as text", R"({"code":0,"data":{"items":[{"id":"A","score":"0.5"}],"sid":"S9"}})",
         result, -6103},
        {"null items keep the session", R"({"code":0,"data":{"items":null,"sid":"S9"}})", result,
         0},
        {"items as an object", R"({"code":0,"data":{"items":{},"sid":"S9"}})", result, -6103},
        {"result without data", R"({"code":0})", result, -6103},
        {"null product list", R"({"code":0,"data":null})", itemList, 0},
        {"product list as text", R"({"code":0,"data":"none"})", itemList, -6103},
        {"product count as text", R"({"code":0,"data":[{"id":"1","count":"2"}]})", itemList, -6103},
        {"sold-out flag as a number", R"({"code":0,"data":[{"id":"1","count":2,"soldout":0}]})",
         itemList, -6103},
        {"null template list", R"({"code":0,"data":null,"max":3})", templates, 0},
        {"template list as a number", R"({"code":0,"data":5,"max":3})", templates, -6103},
        {"template list without max", R"({"code":0,"data":["a"]})", templates, -6103},
        {"code as text", R"({"code":"0","data":{"limit":1}})", limit, -6103},
        {"code as a fraction", R"({"code":0.0,"data":{"limit":1}})", limit, -6103},
        {"no code", R"({"data":{"limit":1}})", limit, -6103},
        {"array instead of object", R"([{"code":0}])", limit, -6103},
        {"not JSON", "<html>ok</html>", limit, -6103},
        {"limit beyond int", R"({"code":0,"data":{"limit":4294967296}})", limit, -6103},
        {"a refusal needs no data", R"({"code":-6126,"data":"whatever"})", limit, -6126},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        camera.set({200, "application/json", c.reply});
        EXPECT_EQ(c.call(*driver), c.code);
        EXPECT_EQ(driver->isConnected(), c.code != -6103);
        // A fresh connection state for the next row.
        camera.set({200, "application/json", R"({"code":0})"});
        driver->reboot();
    }
}

TEST_F(CameraDriverTest, ParsedTemplateListAndItemsAreLogged) {
    CannedCamera camera;
    auto driver = driverFor(camera.port());
    camera.set({200, "application/json", R"({"code":0,"data":["a","b"],"max":5})"});
    LogCapture log;
    const auto [code, ids, max] = driver->get_item_template_list({"42"});
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ids, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(max, 5);
    EXPECT_NE(log.text().find("get_item_template_list() called with id: 42;"), std::string::npos);
    EXPECT_NE(log.text().find("get_item_template_list() completed, max=5, data=[a, b];"),
              std::string::npos);

    camera.set({200, "application/json",
                R"({"code":0,"data":[{"id":"1","count":2},{"id":"2","count":0,"soldout":true}]})"});
    const auto [listCode, items] = driver->get_item_list(false);
    ASSERT_EQ(listCode, 0);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_FALSE(items[0].soldout.has_value());
    EXPECT_EQ(items[1].soldout, std::optional<bool>(true));
    EXPECT_EQ(camera.received().back().method, "GET");
    EXPECT_EQ(camera.received().back().path, "/api/get_item_list");
}

TEST_F(CameraDriverTest, PictureOrError) {
    // From the simulator: a JPEG with status 200, or the scripted failures.
    auto [code, bytes] = driver_->get_image(false);
    EXPECT_EQ(code, 0);
    ASSERT_GT(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(lastRequestOf("get_image").at("method").as_string(), "GET");
    std::tie(code, bytes) = driver_->get_image(true);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(lastRequestOf("get_image").at("body").as_string(), "null");

    struct SimCase {
        boost::json::object rule;
        int code;
    };
    const std::vector<SimCase> simCases = {
        {{{"command", "get_image"}, {"http_status", 500}}, 500},
        {{{"command", "get_image"}, {"error_code", -6128}}, -6128},
        {{{"command", "get_image"}, {"error_code", -6128}, {"malformed", true}}, -6103},
    };
    for (const auto& c : simCases) {
        SCOPED_TRACE(boost::json::serialize(c.rule));
        fault(c.rule);
        EXPECT_EQ(driver_->get_image(true), std::make_pair(c.code, std::string()));
    }

    // Verbatim answers.
    CannedCamera camera;
    auto driver = driverFor(camera.port());
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    struct CannedCase {
        const char* what;
        CannedCamera::Reply reply;
        int code;
        std::string bytes;
    };
    const std::vector<CannedCase> cannedCases = {
        {"any picture, bytes unchanged", {200, "image/png", png}, 0, png},
        {"JSON error with charset",
         {200, "application/json; charset=utf-8", R"({"code":-6103})"},
         -6103,
         ""},
        {"error page", {404, "text/html", "<html><body>Not Found</body></html>"}, 404, ""},
        {"error without a type", {502, "", "Bad Gateway"}, 502, ""},
        {"JSON error with an HTTP status",
         {500, "application/json", R"({"code":-6209})"},
         -6209,
         ""},
        {"JSON that claims success", {503, "application/json", R"({"code":0})"}, 503, ""},
    };
    for (const auto& c : cannedCases) {
        SCOPED_TRACE(c.what);
        camera.set(c.reply);
        EXPECT_EQ(driver->get_image(false), std::make_pair(c.code, c.bytes));
    }

    // Unreachable: no picture, and the picture leaves the connection state alone.
    auto lost = driverFor(closedPort());
    LogCapture log;
    EXPECT_EQ(lost->get_image(false), std::make_pair(-6103, std::string()));
    EXPECT_TRUE(lost->isConnected());
    EXPECT_TRUE(alerts().empty());
    EXPECT_NE(log.text().find("get_image() exception: "), std::string::npos);
}

}  // namespace
}  // namespace korvane::Testing
