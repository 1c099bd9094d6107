#include "camera_handlers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "camera_handlers_fixture.h"
#include "invalid_request.h"
#include "responses.h"

namespace {

namespace Utils = korvane::Utils;
using korvane::Testing::CameraHandlersTest;
using korvane::Testing::closedPort;
using korvane::Testing::LogCapture;
using Object = Poco::JSON::Object::Ptr;
using ::testing::HasSubstr;

// Every handler that takes a body, called alike; those without a change notice ignore it.
using BodyHandler =
    std::function<Object(const Object&, const Utils::CameraDriverPtr&, const Utils::ChangeNotice&)>;

template <class F>
BodyHandler plain(F handler) {
    return [handler](const Object& body, const Utils::CameraDriverPtr& driver,
                     const Utils::ChangeNotice&) { return handler(body, driver); };
}

TEST_F(CameraHandlersTest, QueriesAnswerTheCameraRecordInTheEnvelope) {
    struct Case {
        std::string command;
        std::function<Object()> call;
        std::string method;
        std::set<std::string> data;
    };
    const std::vector<Case> cases = {
        {"get_device_info",
         [&] { return Utils::process_get_device_info(camera_, true); },
         "POST",
         {"app", "board", "download", "engine", "firmware", "item_count", "learnMode", "masterIP",
          "masterSN", "mastersyncPort", "max_result_num", "predict_speed", "sn", "soldOutLimit",
          "sync", "sync_limit", "sync_mode", "upload"}},
        {"get_board_info",
         [&] { return Utils::process_get_board_info(camera_); },
         "GET",
         {"board", "clientID", "engine", "firmware", "sn", "syncMode"}},
        {"get_time", [&] { return Utils::process_get_time(camera_); }, "GET", {"sec", "usec"}},
        {"get_calib",
         [&] { return Utils::process_get_calib(camera_, false); },
         "GET",
         {"height", "left", "top", "width"}},
        {"get_learnmode",
         [&] { return Utils::process_get_learnmode(camera_, true); },
         "POST",
         {"mode"}},
        {"get_sync_status",
         [&] { return Utils::process_get_sync_status(camera_, false); },
         "GET",
         {"count", "message", "synctime"}},
        {"get_sync_limit",
         [&] { return Utils::process_get_sync_limit(camera_); },
         "POST",
         {"limit"}},
        {"get_superior", [&] { return Utils::process_get_superior(camera_); }, "GET", {"ip", "sn"}},
    };
    for (const auto& c : cases) {
        const auto envelope = c.call();
        EXPECT_EQ(keys(envelope), (Keys{"code", "data"})) << c.command;
        EXPECT_EQ(envelope->getValue<int>("code"), 0) << c.command;
        ASSERT_TRUE(envelope->isObject("data")) << c.command;
        EXPECT_EQ(keys(envelope->getObject("data")), c.data) << c.command;
        EXPECT_EQ(lastRequestOf(c.command).at("method").as_string(), c.method) << c.command;
    }

    const auto state = simState();
    const auto info = Utils::process_get_device_info(camera_, false)->getObject("data");
    EXPECT_EQ(info->getValue<std::string>("sn"), state.at("identity").at("sn").as_string());
    EXPECT_EQ(info->getValue<int>("item_count"), 8);
    EXPECT_EQ(boost::json::parse(
                  Utils::toJsonText(Utils::process_get_calib(camera_, true)->getObject("data"))),
              state.at("settings").at("calib"));
}

TEST_F(CameraHandlersTest, SettingsReachTheCameraAsConvertedRecords) {
    struct Case {
        std::string command;
        BodyHandler handler;
        std::string body;
        std::string sent;
        bool notifies;
    };
    const std::vector<Case> cases = {
        {"set_sync_limit", Utils::process_set_sync_limit, R"({"limit":"7"})", R"({"limit":7})",
         true},
        {"set_sync_slave", Utils::process_set_sync_slave,
         R"({"upload":true,"download":false,"masterIP":"10.0.0.2"})",
         R"({"upload":true,"download":false,"masterIP":"10.0.0.2"})", true},
        {"set_sync_slave", Utils::process_set_sync_slave,
         R"({"upload":1,"download":"false","masterIP":"10.0.0.2","mastersyncPort":8080})",
         R"({"upload":true,"download":false,"masterIP":"10.0.0.2","mastersyncPort":"8080"})", true},
        {"set_sync_master", Utils::process_set_sync_master, R"({"upload":true,"download":true})",
         R"({"upload":true,"download":true})", true},
        {"set_sync_normal", Utils::process_set_sync_normal, R"({"upload":false,"download":true})",
         R"({"upload":false,"download":true})", true},
        {"set_extra_info", Utils::process_set_extra_info, "{}", "{}", true},
        {"set_extra_info", Utils::process_set_extra_info, R"({"store_id":42,"other":1})",
         R"({"store_id":"42"})", true},
        {"set_predict_speed", Utils::process_set_predict_speed, R"({"speed":"fast"})",
         R"({"speed":"fast"})", true},
        {"set_max_result", Utils::process_set_max_result, R"({"num":3})", R"({"num":3})", true},
        {"set_sold_out_limit", Utils::process_set_sold_out_limit, R"({"day":"30"})",
         R"({"day":30})", true},
        {"set_learnmode", Utils::process_set_learnmode, R"({"mode":1})", R"({"mode":1})", true},
        {"set_time", plain(Utils::process_set_time), R"({"sec":"1700000000","usec":5})",
         R"({"sec":1700000000,"usec":5})", false},
        {"set_calib", plain(Utils::process_set_calib),
         R"({"top":10,"left":20,"height":300,"width":400})",
         R"({"left":20,"top":10,"width":400,"height":300})", false},
        {"set_superior", plain(Utils::process_set_superior), R"({"sn":"SN-9","ip":"10.0.0.9"})",
         R"({"sn":"SN-9","ip":"10.0.0.9"})", false},
        {"set_sold_out_status", plain(Utils::process_set_sold_out_status),
         R"({"id":"10001","soldout":true})", R"({"id":"10001","soldout":true})", false},
        {"export_template", plain(Utils::process_export_template), R"({"ids":["10001",10002]})",
         R"({"ids":["10001","10002"]})", false},
        {"export_template", plain(Utils::process_export_template), "{}", R"({"ids":[]})", false},
        {"delete_item", plain(Utils::process_delete_item), R"({"id":"10003"})", R"({"id":"10003"})",
         false},
    };
    for (const auto& c : cases) {
        int notices = 0;
        const auto envelope = c.handler(json(c.body), camera_, [&] { ++notices; });
        EXPECT_EQ(Utils::toJsonText(envelope), R"({"code":0,"data":null})") << c.body;
        EXPECT_EQ(notices, c.notifies ? 1 : 0) << c.body;
        const auto sent = lastRequestOf(c.command);
        EXPECT_EQ(boost::json::parse(sent.at("body").as_string()), boost::json::parse(c.sent))
            << c.command << " " << c.body;
    }
    EXPECT_EQ(simState().at("sync").at("limit"), 7);
}

TEST_F(CameraHandlersTest, BadMembersThrowInvalidRequestAndNothingIsSent) {
    struct Case {
        std::string command;
        BodyHandler handler;
        std::string body;
        std::string member;
    };
    const std::vector<Case> cases = {
        {"set_sync_slave", Utils::process_set_sync_slave, R"({"upload":true,"download":true})",
         "masterIP"},
        {"set_sync_slave", Utils::process_set_sync_slave,
         R"({"upload":true,"download":true,"masterIP":"a","mastersyncPort":null})",
         "mastersyncPort"},
        {"set_sync_limit", Utils::process_set_sync_limit, R"({"limit":"seven"})", "limit"},
        {"set_max_result", Utils::process_set_max_result, R"({"num":12345678901})", "num"},
        {"set_extra_info", Utils::process_set_extra_info, R"({"store_id":[]})", "store_id"},
        {"set_predict_speed", Utils::process_set_predict_speed, R"({"speed":{"a":1}})", "speed"},
        {"set_learnmode", Utils::process_set_learnmode, R"({"Mode":1})", "mode"},
        {"set_time", plain(Utils::process_set_time), R"({"sec":1,"usec":null})", "usec"},
        {"set_calib", plain(Utils::process_set_calib),
         R"({"top":1,"left":{},"height":1,"width":1})", "left"},
        {"set_sold_out_status", plain(Utils::process_set_sold_out_status),
         R"({"id":"1","soldout":[true]})", "soldout"},
        {"export_template", plain(Utils::process_export_template), R"({"ids":"10001"})", "ids"},
        {"export_template", plain(Utils::process_export_template), R"({"ids":[{"id":1}]})", "ids"},
        {"delete_item_template", plain(Utils::process_delete_item_template), R"({"id":"1"})",
         "sid"},
        {"add_item_template", plain(Utils::process_add_item_template), "{}", "id"},
    };
    for (const auto& c : cases) {
        int notices = 0;
        try {
            c.handler(json(c.body), camera_, [&] { ++notices; });
            ADD_FAILURE() << c.command << " accepted " << c.body;
        } catch (const Utils::InvalidRequest& e) {
            EXPECT_THAT(e.what(), HasSubstr("'" + c.member + "'")) << c.body;
        }
        EXPECT_EQ(notices, 0) << c.body;
        EXPECT_TRUE(requestsOf(c.command).empty()) << c.command << " " << c.body;
    }
    EXPECT_THROW(Utils::process_set_learnmode(nullptr, camera_, nullptr), Utils::InvalidRequest);
}

TEST_F(CameraHandlersTest, CameraFailuresAnswerTheirCodeWithoutPayloadOrNotice) {
    fault({{"command", "set_learnmode"}, {"error_code", -6213}});
    fault({{"command", "get_device_info"}, {"http_status", 503}});
    fault({{"command", "export_template_status"}, {"error_code", -6202}});
    fault({{"command", "get_item_list"}, {"error_code", -6117}});
    int notices = 0;
    const auto count = [&] { ++notices; };
    EXPECT_EQ(
        Utils::toJsonText(Utils::process_set_learnmode(json(R"({"mode":1})"), camera_, count)),
        R"({"code":-6213,"data":null})");
    EXPECT_EQ(Utils::toJsonText(Utils::process_get_device_info(camera_, true)),
              R"({"code":503,"data":null})");
    EXPECT_EQ(Utils::toJsonText(Utils::process_export_template_status(camera_)),
              R"({"code":-6202,"data":null})");
    EXPECT_EQ(Utils::toJsonText(Utils::process_get_item_list(camera_, false)),
              R"({"code":-6117,"data":null})");

    const Utils::CameraDriverPtr gone = driverFor(closedPort());
    const std::vector<Object> unreachable = {
        Utils::process_set_sync_limit(json(R"({"limit":3})"), gone, count),
        Utils::process_get_sync_status(gone, true),
        Utils::process_offline_upgrade_status(gone, true),
        Utils::process_get_item_template_list(json(R"({"id":"10001"})"), gone),
        Utils::process_add_item_template(json(R"({"id":"10001"})"), gone),
        Utils::process_reboot(gone),
    };
    for (const auto& envelope : unreachable) {
        EXPECT_EQ(Utils::toJsonText(envelope), R"({"code":-6103,"data":null})");
    }
    EXPECT_EQ(notices, 0);
}

TEST_F(CameraHandlersTest, AFailingChangeNoticeIsLoggedAndTheSettingStillSucceeds) {
    LogCapture log;
    const auto envelope = Utils::process_set_learnmode(
        json(R"({"mode":1})"), camera_, [] { throw std::runtime_error("monitoring gone"); });
    EXPECT_EQ(Utils::toJsonText(envelope), R"({"code":0,"data":null})");
    EXPECT_THAT(log.text(), HasSubstr("set_learnmode() change notice failed: monitoring gone;"));
    EXPECT_EQ(simState().at("settings").at("learnMode"), 1);
}

TEST_F(CameraHandlersTest, ProductListsFollowTheCamera) {
    Utils::process_set_sold_out_status(json(R"({"id":"10001","soldout":true})"), camera_);
    const auto items = Utils::process_get_item_list(camera_, true)->getArray("data");
    ASSERT_EQ(items->size(), 8u);
    EXPECT_EQ(keys(items->getObject(0)), (Keys{"count", "id", "soldout"}));
    EXPECT_EQ(items->getObject(0)->getValue<std::string>("id"), "10001");
    EXPECT_EQ(keys(items->getObject(1)), (Keys{"count", "id"}));

    const auto added = Utils::process_add_item_template(json(R"({"id":"10002"})"), camera_);
    ASSERT_EQ(added->getValue<int>("code"), 0);
    EXPECT_EQ(keys(added->getObject("data")), (Keys{"image", "sid"}));
    const auto sid = added->getObject("data")->getValue<std::string>("sid");
    const auto list = Utils::process_get_item_template_list(json(R"({"id":"10002"})"), camera_);
    EXPECT_EQ(keys(list), (Keys{"code", "data", "max"}));
    EXPECT_EQ(list->getValue<int>("max"), 20);
    const auto sids = list->getArray("data");
    EXPECT_EQ(sids->get(static_cast<unsigned>(sids->size() - 1)).toString(), sid);

    const auto serial = simState().at("identity").at("sn").as_string();
    Utils::process_set_deletion_all_flag(json(R"({"id":"10003"})"), camera_);
    EXPECT_EQ(Utils::toJsonText(Utils::process_get_deletion_all_progress(camera_)),
              R"({"code":0,"data":[{"SNs":[")" + std::string(serial) + R"("],"id":"10003"}]})");
    Utils::process_clear_deletion_all_flag(json(R"({"id":"10003"})"), camera_);
    EXPECT_EQ(Utils::toJsonText(Utils::process_get_deletion_all_progress(camera_)),
              R"({"code":0,"data":[]})");

    EXPECT_EQ(Utils::toJsonText(Utils::process_clear_all_template(camera_)),
              R"({"code":0,"data":null})");
    EXPECT_EQ(Utils::toJsonText(Utils::process_get_item_list(camera_, false)),
              R"({"code":0,"data":[]})");
}

TEST_F(CameraHandlersTest, ImageIsTheCameraPictureOrNothing) {
    const auto [code, bytes] = Utils::process_get_image(camera_, true);
    EXPECT_EQ(code, 0);
    ASSERT_GT(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xD8");

    fault({{"command", "get_image"}, {"http_status", 500}});
    const auto failed = Utils::process_get_image(camera_, false);
    EXPECT_EQ(failed.first, 500);
    EXPECT_TRUE(failed.second.empty());
}

}  // namespace
