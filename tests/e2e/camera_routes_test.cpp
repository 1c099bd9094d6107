// The camera commands through the real binary, against the camera simulator on loopback.
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "agent_process.h"
#include "camera_simulator.h"
#include "http_client.h"
#include "temp_dir.h"

using namespace korvane::Testing;
using namespace std::chrono_literals;
using korvane::CameraSim::CameraSimulator;

namespace {

Poco::JSON::Object::Ptr parseObject(const std::string& text) {
    return Poco::JSON::Parser().parse(text).extract<Poco::JSON::Object::Ptr>();
}

class CameraRoutesTest : public ::testing::Test {
  protected:
    CameraRoutesTest() : camera_(options()) {}

    static CameraSimulator::Options options() {
        CameraSimulator::Options o;
        o.jobStepMs = 40;
        return o;
    }

    void SetUp() override {
        camera_.start();
        const std::string data = home_.file(".local/share/KORVANE/PellixAgent");
        std::filesystem::create_directories(data);
        writeFile(data + "/config.json", R"({"device_ip":"127.0.0.1","device_port":")" +
                                             std::to_string(camera_.port()) + R"("})");
        agent_ = std::make_unique<ChildProcess>(KORVANE_AGENT_BINARY, std::vector<std::string>{},
                                                agentEnvironment(home_.path().string()),
                                                output_.path().string());
        ASSERT_TRUE(waitUntil(
            [] {
                try {
                    return httpRequest(kAgentPort, "GET", "/api/get_time", "", "", 500ms).status ==
                           200;
                } catch (...) {
                    return false;
                }
            },
            15s))
            << agent_->stderrText();
        sim("DELETE", "/sim/requests");
    }

    void TearDown() override {
        agent_->signal(SIGTERM);
        EXPECT_EQ(agent_->waitForExit(15s), std::optional<int>(0));
        camera_.stop();
    }

    HttpResult agent(const std::string& method, const std::string& path,
                     const std::string& body = "", const std::string& type = "") {
        return httpRequest(kAgentPort, method, path, body, type);
    }
    HttpResult sim(const std::string& method, const std::string& path,
                   const std::string& body = "") {
        return httpRequest(camera_.port(), method, path, body,
                           body.empty() ? "" : "application/json");
    }
    // The camera's requests for a command since the log was last cleared; clears the log.
    Poco::JSON::Array::Ptr cameraRequests(const std::string& command) {
        auto log = parseObject(sim("GET", "/sim/requests?command=" + command).body);
        sim("DELETE", "/sim/requests");
        return log->getArray("requests");
    }
    std::vector<std::string> cameraCalls(const std::string& command) {
        auto requests = cameraRequests(command);
        std::vector<std::string> methods;
        for (std::size_t i = 0; i < requests->size(); ++i) {
            methods.push_back(requests->getObject(i)->getValue<std::string>("method"));
        }
        return methods;
    }

    TempDir home_;
    TempDir output_;
    CameraSimulator camera_;
    std::unique_ptr<ChildProcess> agent_;
};

std::string multipart(const std::string& boundary, const std::string& fileName,
                      const std::string& bytes) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
           fileName + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n--" +
           boundary + "--\r\n";
}

}  // namespace

TEST_F(CameraRoutesTest, EachCommandAnswersItsMethodsAndReachesTheCamera) {
    struct Case {
        std::string command;
        std::vector<std::string> methods;  // the methods the command answers
        std::string body;
    } cases[] = {
        {"get_device_info", {"GET", "POST"}, ""},
        {"get_item_list", {"GET", "POST"}, ""},
        {"get_sync_status", {"GET", "POST"}, ""},
        {"get_calib", {"GET", "POST"}, ""},
        {"get_learnmode", {"GET", "POST"}, ""},
        {"get_time", {"GET"}, ""},
        {"get_board_info", {"GET"}, ""},
        {"get_superior", {"GET"}, ""},
        {"get_extra_info", {"GET"}, ""},
        {"get_deletion_all_progress", {"GET"}, ""},
        {"export_template_status", {"GET"}, ""},
        {"import_template_status", {"GET"}, ""},
        {"get_sync_limit", {"POST"}, ""},
        {"manual_sync", {"POST"}, ""},
        {"set_max_result", {"POST"}, R"({"num":5})"},
        {"set_learnmode", {"POST"}, R"({"mode":0})"},
    };
    for (const auto& c : cases) {
        for (const std::string method : {"GET", "POST"}) {
            const bool allowed =
                std::find(c.methods.begin(), c.methods.end(), method) != c.methods.end();
            auto reply = agent(method, "/api/" + c.command, method == "POST" ? c.body : "",
                               "application/json");
            auto calls = cameraCalls(c.command);
            if (!allowed) {
                EXPECT_EQ(reply.status, 404) << method << " " << c.command;
                EXPECT_TRUE(calls.empty()) << method << " " << c.command;
                continue;
            }
            EXPECT_EQ(reply.status, 200) << method << " " << c.command << " " << reply.body;
            EXPECT_EQ(parseObject(reply.body)->getValue<int>("code"), 0)
                << method << " " << c.command << " " << reply.body;
            // The camera is asked with the method the command was asked with.
            EXPECT_EQ(calls, std::vector<std::string>{method}) << method << " " << c.command;
        }
    }
    // The two upgrade status commands share a handler but not their methods.
    EXPECT_EQ(agent("POST", "/api/offline_upgrade_status").status, 404);
    EXPECT_EQ(agent("GET", "/api/get_restore_status").status, 404);
    EXPECT_EQ(agent("GET", "/api/offline_upgrade_status").status, 200);
    EXPECT_EQ(agent("POST", "/api/get_restore_status").status, 200);
}

TEST_F(CameraRoutesTest, BadBodiesAreRefusedBeforeTheCameraIsAsked) {
    for (const std::string body : {"not json", "[]", "{}", R"({"num":"many"})"}) {
        auto reply = agent("POST", "/api/set_max_result", body, "application/json");
        EXPECT_EQ(reply.status, 400) << body;
        EXPECT_EQ(reply.body, R"({"code":-6200,"data":null})") << body;
    }
    EXPECT_TRUE(cameraCalls("set_max_result").empty());
}

TEST_F(CameraRoutesTest, ImageRouteAnswersAPictureOrCameraLost) {
    auto image = agent("GET", "/api/get_image");
    EXPECT_EQ(image.status, 200);
    EXPECT_EQ(image.contentType, "image/jpeg");
    ASSERT_GE(image.body.size(), 4u);
    EXPECT_EQ(image.body.substr(0, 2), "\xFF\xD8");

    sim("POST", "/sim/fault", R"({"command":"get_image","http_status":500})");
    auto lost = agent("POST", "/api/get_image");
    EXPECT_EQ(lost.status, 500);
    EXPECT_EQ(lost.contentType, "application/json");
    EXPECT_EQ(lost.body, R"({"code":-6103,"msg":"Camera lost"})");
}

TEST_F(CameraRoutesTest, ExportedArchiveDownloadsByteForByte) {
    ASSERT_EQ(
        agent("POST", "/api/export_template", R"({"ids":["10001","10002"]})", "application/json")
            .body,
        R"({"code":0,"data":null})");
    std::string fileName;
    ASSERT_TRUE(waitUntil(
        [&] {
            auto status = parseObject(agent("GET", "/api/export_template_status").body);
            if (status->getValue<int>("status") != 3) return false;
            fileName = status->getValue<std::string>("filename");
            return !fileName.empty();
        },
        10s));
    auto archive = agent("GET", "/download/" + fileName);
    EXPECT_EQ(archive.status, 200);
    EXPECT_EQ(archive.contentType, "application/octet-stream");
    EXPECT_EQ(archive.body.substr(0, 4), std::string("PK\x03\x04", 4));
    EXPECT_EQ(archive.body, sim("GET", "/download/" + fileName).body);

    auto missing = agent("GET", "/download/no-such.evom");
    EXPECT_EQ(missing.status, 404);

    sim("POST", "/sim/down", R"({"seconds":5,"mode":"close"})");
    auto down = agent("GET", "/download/" + fileName);
    EXPECT_EQ(down.status, 502);
    EXPECT_TRUE(down.body.empty());
    sim("POST", "/sim/up");
}

TEST_F(CameraRoutesTest, MultipartUploadsReachTheCameraOrAreRefused) {
    const std::string boundary = "----korvane-test-boundary";
    const std::string firmware(3000, '\x7f');
    auto upgrade = agent("POST", "/api/offline_upgrade", multipart(boundary, "fw.bin", firmware),
                         "multipart/form-data; boundary=" + boundary);
    EXPECT_EQ(upgrade.body, R"({"code":0,"data":null})");
    auto requests = cameraRequests("offline_upgrade");
    ASSERT_EQ(requests->size(), 1u);
    auto parts = requests->getObject(0)->getArray("parts");
    ASSERT_TRUE(parts && parts->size() >= 1);
    EXPECT_EQ(parts->getObject(0)->getValue<int>("size"), 3000);

    auto noBoundary = agent("POST", "/api/import_template", "abc", "multipart/form-data");
    EXPECT_EQ(noBoundary.status, 200);
    EXPECT_EQ(noBoundary.body, R"({"code":-6210,"data":null})");

    auto truncated = agent("POST", "/api/start_restore", "--" + boundary + "\r\nContent-Disp",
                           "multipart/form-data; boundary=" + boundary);
    EXPECT_EQ(truncated.body, R"({"code":-6210,"data":null})");
    EXPECT_TRUE(agent_->running());
}

TEST_F(CameraRoutesTest, ConfirmedRecognitionIsQueuedAndCounted) {
    sim("POST", "/sim/config",
        R"({"fixed_result":[{"id":"10001","score":0.9},{"id":"10002","score":0.5}]})");
    auto result = parseObject(agent("GET", "/api/get_result").body);
    ASSERT_EQ(result->getValue<int>("code"), 0);
    const auto sid = result->getObject("data")->getValue<std::string>("sid");

    auto feedback =
        agent("POST", "/api/result_feedback",
              R"({"sid":")" + sid + R"(","id":"10002","product_weight":0.5})", "application/json");
    EXPECT_EQ(feedback.body, R"({"code":0,"data":null})");
    EXPECT_EQ(cameraCalls("result_feedback").size(), 1u);

    auto info = parseObject(agent("GET", "/api/agent/get_info").body)->getObject("data");
    EXPECT_EQ(info->getValue<int>("non_send_recognition_count"), 1);

    auto statistic = agent("POST", "/api/agent/get_statistic",
                           R"({"requestType":"DAYS","productCode":"10002"})", "application/json");
    EXPECT_EQ(statistic.status, 200);
    EXPECT_EQ(parseObject(statistic.body)->getValue<int>("code"), 0) << statistic.body;
    EXPECT_NE(statistic.body.find(R"("position2Count":1)"), std::string::npos) << statistic.body;

    EXPECT_EQ(
        agent("POST", "/api/agent/get_statistic", R"({"requestType":"WEEKS"})", "application/json")
            .body,
        R"({"code":-6200,"data":null})");
    // A feedback without the required members is refused and stores nothing.
    EXPECT_EQ(agent("POST", "/api/result_feedback", R"({"id":"10002"})", "application/json").status,
              400);
    info = parseObject(agent("GET", "/api/agent/get_info").body)->getObject("data");
    EXPECT_EQ(info->getValue<int>("non_send_recognition_count"), 1);
}
