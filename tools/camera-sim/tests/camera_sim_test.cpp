// The camera simulator over real HTTP on loopback: answer shapes, state changes, jobs, archives,
// faults and the request log.
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/StreamCopier.h>
#include <Poco/TemporaryFile.h>
#include <Poco/Zip/ZipArchive.h>
#include <Poco/Zip/ZipStream.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "camera_simulator.h"

namespace korvane::CameraSim {
namespace {

using Clock = std::chrono::steady_clock;
using Poco::JSON::Object;

constexpr const char* kBoundary = "----KorvaneBoundary7d91d0a123456";

struct HttpReply {
    int status = 0;
    std::string contentType;
    std::string body;

    Object::Ptr json() const {
        Poco::JSON::Parser parser;
        return parser.parse(body).extract<Object::Ptr>();
    }
    Object::Ptr data() const { return json()->getObject("data"); }
    int code() const { return json()->getValue<int>("code"); }
};

HttpReply exchange(std::uint16_t port, const std::string& method, const std::string& path,
                   const std::string* body, const std::string& contentType) {
    Poco::Net::HTTPClientSession session("127.0.0.1", port);
    session.setTimeout(Poco::Timespan(5, 0));
    Poco::Net::HTTPRequest request(method, path, Poco::Net::HTTPMessage::HTTP_1_1);
    if (body) {
        request.setContentType(contentType);
        request.setContentLength64(static_cast<Poco::Int64>(body->size()));
        session.sendRequest(request) << *body;
    } else {
        session.sendRequest(request);
    }
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    HttpReply reply;
    reply.status = response.getStatus();
    reply.contentType = response.getContentType();
    Poco::StreamCopier::copyToString(in, reply.body);
    return reply;
}

// The upload body exactly as the Agent builds it: the file part first, then the text fields.
std::string multipartBody(const std::string& fileName, const std::string& bytes,
                          const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string body = std::string("--") + kBoundary + "\r\n" +
                       "Content-Disposition: form-data; name=\"file\"; filename=\"" + fileName +
                       "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n";
    for (const auto& [name, value] : fields) {
        body += std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" +
                name + "\"\r\n\r\n" + value + "\r\n";
    }
    return body + "--" + kBoundary + "--\r\n";
}

class CameraSimTest : public ::testing::Test {
  protected:
    void SetUp() override { startSimulator({}); }

    void startSimulator(const std::string& stateDir) {
        CameraSimulator::Options options;
        options.jobStepMs = 40;
        options.seed = 7;
        options.stateDir = stateDir;
        sim_ = std::make_unique<CameraSimulator>(options);
        sim_->start();
    }

    HttpReply post(const std::string& path, const std::string& body = "null",
                   const std::string& contentType = "application/json") {
        return exchange(sim_->port(), "POST", path, &body, contentType);
    }
    HttpReply get(const std::string& path) {
        return exchange(sim_->port(), "GET", path, nullptr, "");
    }
    HttpReply upload(const std::string& path, const std::string& fileName, const std::string& bytes,
                     const std::vector<std::pair<std::string, std::string>>& fields = {}) {
        return post(path, multipartBody(fileName, bytes, fields),
                    std::string("multipart/form-data; boundary=") + kBoundary);
    }

    int templateCount(const std::string& id) {
        Poco::JSON::Array::Ptr items = get("/api/get_item_list").json()->getArray("data");
        for (std::size_t i = 0; items && i < items->size(); ++i) {
            Object::Ptr item = items->getObject(static_cast<unsigned>(i));
            if (item->getValue<std::string>("id") == id) return item->getValue<int>("count");
        }
        return -1;
    }

    // Polls a job status command until `done` status or the deadline; returns the last reply.
    Object::Ptr waitForStatus(const std::string& path, int done, std::vector<int>* seen = nullptr) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        Object::Ptr reply;
        do {
            reply = exchange(sim_->port(), path == "/api/get_restore_status" ? "POST" : "GET", path,
                             nullptr, "")
                        .json();
            if (seen) seen->push_back(reply->getValue<int>("status"));
            if (reply->getValue<int>("status") == done) return reply;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (Clock::now() < deadline);
        return reply;
    }

    std::unique_ptr<CameraSimulator> sim_;
};

TEST_F(CameraSimTest, DeviceAndBoardInfoCarryEveryMemberWithItsType) {
    enum class Type { String, Int, Bool };
    const std::vector<std::pair<std::string, Type>> deviceMembers = {
        {"app", Type::String},           {"engine", Type::String},    {"firmware", Type::String},
        {"item_count", Type::Int},       {"learnMode", Type::Int},    {"masterIP", Type::String},
        {"masterSN", Type::String},      {"soldOutLimit", Type::Int}, {"max_result_num", Type::Int},
        {"predict_speed", Type::String}, {"sn", Type::String},        {"sync", Type::String},
        {"sync_mode", Type::String},     {"upload", Type::Bool},      {"download", Type::Bool},
        {"sync_limit", Type::Int},       {"board", Type::String}};
    const auto hasType = [](const Object::Ptr& object, const std::string& name, Type type) {
        if (!object->has(name)) return false;
        const auto value = object->get(name);
        switch (type) {
            case Type::String:
                return value.isString();
            case Type::Int:
                return value.isInteger() && !value.isBoolean();
            case Type::Bool:
                return value.isBoolean();
        }
        return false;
    };
    for (const bool usePost : {true, false}) {
        const HttpReply reply =
            usePost ? post("/api/get_device_info") : get("/api/get_device_info");
        ASSERT_EQ(reply.status, 200);
        ASSERT_EQ(reply.code(), 0);
        for (const auto& [name, type] : deviceMembers) {
            EXPECT_TRUE(hasType(reply.data(), name, type)) << name;
        }
        EXPECT_EQ(reply.data()->getValue<int>("item_count"), 8);
    }
    const Object::Ptr board = get("/api/get_board_info").data();
    for (const char* name : {"board", "clientID", "engine", "firmware", "sn", "syncMode"}) {
        EXPECT_TRUE(hasType(board, name, Type::String)) << name;
    }
}

TEST_F(CameraSimTest, TemplatesAddedAndDeletedChangeTheProductList) {
    const int before = templateCount("10002");
    ASSERT_GT(before, 0);
    const HttpReply added = post("/api/add_item_template", R"({"id":"10002"})");
    ASSERT_EQ(added.code(), 0);
    const std::string sid = added.data()->getValue<std::string>("sid");
    EXPECT_FALSE(added.data()->getValue<std::string>("image").empty());
    EXPECT_EQ(templateCount("10002"), before + 1);

    const HttpReply list = post("/api/get_item_template_list", R"({"id":"10002"})");
    EXPECT_EQ(list.json()->getValue<int>("max"), 20);
    EXPECT_EQ(list.json()->getArray("data")->size(), static_cast<std::size_t>(before + 1));

    EXPECT_EQ(post("/api/delete_item_template", R"({"id":"10002","sid":")" + sid + "\"}").code(),
              0);
    EXPECT_EQ(templateCount("10002"), before);
    EXPECT_EQ(post("/api/delete_item_template", R"({"id":"10002","sid":")" + sid + "\"}").code(),
              -6213);

    EXPECT_EQ(post("/api/add_item_template", R"({"id":"77001"})").code(), 0);
    EXPECT_EQ(templateCount("77001"), 1);
    EXPECT_EQ(post("/api/delete_item", R"({"id":"77001"})").code(), 0);
    EXPECT_EQ(templateCount("77001"), -1);

    EXPECT_EQ(post("/api/clear_all_template").code(), 0);
    EXPECT_TRUE(get("/api/get_item_list").json()->isNull("data"));
    EXPECT_EQ(get("/api/get_device_info").data()->getValue<int>("item_count"), 0);
}

TEST_F(CameraSimTest, ResultsHaveFreshSidsAndRankedCandidatesWithinMaxResult) {
    std::set<std::string> sids;
    for (int i = 0; i < 30; ++i) {
        const HttpReply reply = i % 2 ? post("/api/get_result") : get("/api/get_result");
        ASSERT_EQ(reply.code(), 0);
        const Object::Ptr data = reply.data();
        EXPECT_TRUE(sids.insert(data->getValue<std::string>("sid")).second);
        Poco::JSON::Array::Ptr items = data->getArray("items");
        ASSERT_EQ(items->size(), 5u);
        double previous = 1.0;
        for (std::size_t k = 0; k < items->size(); ++k) {
            const auto score = items->getObject(static_cast<unsigned>(k))->get("score");
            ASSERT_FALSE(score.isInteger());
            EXPECT_LT(score.convert<double>(), previous);
            EXPECT_GT(score.convert<double>(), 0.0);
            previous = score.convert<double>();
        }
    }
    ASSERT_EQ(post("/api/set_max_result", R"({"num":2})").code(), 0);
    EXPECT_EQ(get("/api/get_result").data()->getArray("items")->size(), 2u);

    // Feedback for an issued session is accepted and recorded.
    const std::string sid = get("/api/get_result").data()->getValue<std::string>("sid");
    EXPECT_EQ(post("/api/result_feedback", R"({"sid":")" + sid + R"(","id":"10001"})").code(), 0);
    const Object::Ptr state = get("/sim/state").json()->getObject("device");
    const Object::Ptr feedback = state->getArray("feedback")->getObject(0);
    EXPECT_EQ(feedback->getValue<std::string>("sid"), sid);
    EXPECT_TRUE(feedback->getValue<bool>("known_sid"));
}

TEST_F(CameraSimTest, ExportArchiveIsAZipOfEvoFilesThatImportsBack) {
    // Steps long enough for the first poll to land inside the job even on a busy machine.
    ASSERT_EQ(post("/sim/config", R"({"job_step_ms":250})").status, 200);
    ASSERT_EQ(post("/api/export_template", R"({"ids":["10001","10003"]})").code(), 0);
    std::vector<int> seen;
    const Object::Ptr status = waitForStatus("/api/export_template_status", 3, &seen);
    ASSERT_EQ(status->getValue<int>("status"), 3);
    EXPECT_EQ(seen.front(), 1);
    const std::string filename = status->getValue<std::string>("filename");
    ASSERT_TRUE(filename.ends_with(".evom")) << filename;

    const HttpReply archive = get("/download/" + filename);
    ASSERT_EQ(archive.status, 200);
    ASSERT_EQ(archive.body.substr(0, 4), std::string("PK\x03\x04"));
    std::istringstream in(archive.body);
    const Poco::Zip::ZipArchive zip(in);
    std::set<std::string> names;
    for (auto it = zip.headerBegin(); it != zip.headerEnd(); ++it) {
        in.clear();
        Poco::Zip::ZipInputStream entry(in, it->second, true);
        std::string bytes;
        Poco::StreamCopier::copyToString(entry, bytes);  // throws on a CRC mismatch
        EXPECT_FALSE(bytes.empty());
        names.insert(it->first);
    }
    EXPECT_EQ(names, (std::set<std::string>{"10001.evo", "10003.evo"}));
    EXPECT_EQ(get("/download/no-such.evom").status, 404);

    ASSERT_EQ(post("/api/clear_all_template").code(), 0);
    ASSERT_EQ(upload("/api/import_template", "import_template.evo", archive.body,
                     {{"allowShare", "true"}})
                  .code(),
              0);
    EXPECT_EQ(waitForStatus("/api/import_template_status", 4)->getValue<int>("status"), 4);
    EXPECT_EQ(templateCount("10001"), 6);
    EXPECT_EQ(templateCount("10003"), 9);
    EXPECT_EQ(templateCount("10002"), -1);
}

TEST_F(CameraSimTest, UpgradeAndRestoreJobsEndAsScheduled) {
    const std::string firmware =
        get("/api/get_device_info").data()->getValue<std::string>("firmware");
    ASSERT_EQ(post("/sim/config", R"({"fail_next_job":{"upgrade":6}})").status, 200);
    ASSERT_EQ(upload("/api/offline_upgrade", "offline_upgrade.evo", "firmware-bytes").code(), 0);
    const Object::Ptr failed = waitForStatus("/api/offline_upgrade_status", 6);
    EXPECT_EQ(failed->getValue<int>("status"), 6);
    EXPECT_EQ(failed->getValue<std::string>("msg"), "fail to transfer");
    EXPECT_EQ(get("/api/get_device_info").data()->getValue<std::string>("firmware"), firmware);

    ASSERT_EQ(upload("/api/offline_upgrade", "offline_upgrade.evo", "firmware-bytes").code(), 0);
    EXPECT_EQ(waitForStatus("/api/offline_upgrade_status", 4)->getValue<int>("status"), 4);
    EXPECT_NE(get("/api/get_device_info").data()->getValue<std::string>("firmware"), firmware);

    ASSERT_EQ(upload("/api/start_restore", "offline_upgrade.evo", "").code(), 0);
    EXPECT_EQ(waitForStatus("/api/get_restore_status", 7)->getValue<int>("status"), 7);
    EXPECT_EQ(post("/api/import_template", "{}").code(), -6213);
}

TEST_F(CameraSimTest, SoldOutMarksAndDeletionFlagsShowInLists) {
    ASSERT_EQ(post("/api/set_sold_out_status", R"({"id":"10004","soldout":true})").code(), 0);
    Poco::JSON::Array::Ptr items = get("/api/get_item_list").json()->getArray("data");
    for (std::size_t i = 0; i < items->size(); ++i) {
        const Object::Ptr item = items->getObject(static_cast<unsigned>(i));
        const bool flagged = item->getValue<std::string>("id") == "10004";
        EXPECT_EQ(item->has("soldout"), flagged);
        if (flagged) {
            EXPECT_TRUE(item->getValue<bool>("soldout"));
        }
    }
    EXPECT_EQ(post("/api/set_sold_out_status", R"({"id":"99999","soldout":true})").code(), -6213);

    EXPECT_TRUE(get("/api/get_deletion_all_progress").json()->isNull("data"));
    ASSERT_EQ(post("/api/set_deletion_all_flag", R"({"id":"10006"})").code(), 0);
    EXPECT_EQ(templateCount("10006"), -1);
    const Object::Ptr entry =
        get("/api/get_deletion_all_progress").json()->getArray("data")->getObject(0);
    EXPECT_EQ(entry->getValue<std::string>("id"), "10006");
    const std::string sn = get("/api/get_device_info").data()->getValue<std::string>("sn");
    EXPECT_EQ(entry->getArray("SNs")->getElement<std::string>(0), sn);
    ASSERT_EQ(post("/api/clear_deletion_all_flag", R"({"id":"10006"})").code(), 0);
    EXPECT_TRUE(get("/api/get_deletion_all_progress").json()->isNull("data"));

    const Object::Ptr unknown = post("/api/get_item_template_list", R"({"id":"99999"})").json();
    EXPECT_TRUE(unknown->isNull("data"));
    EXPECT_EQ(unknown->getValue<int>("max"), 20);
}

TEST_F(CameraSimTest, SyncModesAndManualSync) {
    ASSERT_EQ(post("/api/manual_sync").code(), 0);
    EXPECT_EQ(get("/api/get_sync_status").data()->getValue<int>("count"), 0);

    ASSERT_EQ(
        post("/api/set_sync_slave",
             R"({"upload":true,"download":true,"masterIP":"10.0.0.2","mastersyncPort":"9000"})")
            .code(),
        0);
    Object::Ptr info = get("/api/get_device_info").data();
    EXPECT_EQ(info->getValue<std::string>("masterIP"), "10.0.0.2");
    EXPECT_EQ(info->getValue<std::string>("mastersyncPort"), "9000");
    EXPECT_FALSE(info->getValue<std::string>("masterSN").empty());
    EXPECT_EQ(info->getValue<std::string>("sync"), "on");

    ASSERT_EQ(post("/api/manual_sync").code(), 0);
    const Object::Ptr status = post("/api/get_sync_status").data();
    EXPECT_EQ(status->getValue<int>("count"), 1);
    EXPECT_FALSE(status->getValue<std::string>("synctime").empty());

    ASSERT_EQ(post("/api/set_sync_normal", R"({"upload":false,"download":false})").code(), 0);
    info = get("/api/get_device_info").data();
    EXPECT_EQ(info->getValue<std::string>("masterIP"), "");
    EXPECT_FALSE(info->has("mastersyncPort"));
    EXPECT_EQ(info->getValue<std::string>("sync_mode"), "normal");
}

TEST_F(CameraSimTest, ControlKnobsShapeResultsRebootsAndJobs) {
    ASSERT_EQ(
        post("/sim/config", R"({"fixed_result":[{"id":"A","score":0.75},{"id":"B","score":0.5},)"
                            R"({"id":"C","score":0.25}]})")
            .status,
        200);
    ASSERT_EQ(post("/api/set_max_result", R"({"num":2})").code(), 0);
    Poco::JSON::Array::Ptr items = get("/api/get_result").data()->getArray("items");
    ASSERT_EQ(items->size(), 2u);
    EXPECT_EQ(items->getObject(0)->getValue<std::string>("id"), "A");
    EXPECT_EQ(items->getObject(1)->getValue<double>("score"), 0.5);
    ASSERT_EQ(post("/sim/config", R"({"fixed_result":[]})").status, 200);
    EXPECT_TRUE(get("/api/get_result").data()->isNull("items"));

    ASSERT_EQ(post("/sim/config", R"({"reboot_down_ms":60000})").status, 200);
    ASSERT_EQ(post("/api/reboot").code(), 0);
    EXPECT_THROW(get("/api/get_time"), Poco::Exception);
    ASSERT_EQ(post("/sim/up").status, 200);
    EXPECT_EQ(get("/sim/state")
                  .json()
                  ->getObject("device")
                  ->getObject("counters")
                  ->getValue<int>("reboots"),
              1);

    // An export from a camera without templates runs and then fails to generate its archive.
    ASSERT_EQ(post("/api/clear_all_template").code(), 0);
    ASSERT_EQ(post("/api/export_template", R"({"ids":[]})").code(), 0);
    const Object::Ptr failed = waitForStatus("/api/export_template_status", 6);
    EXPECT_EQ(failed->getValue<int>("status"), 6);
    EXPECT_EQ(failed->getValue<std::string>("filename"), "");
    EXPECT_EQ(post("/sim/config", R"({"fail_next_job":{"nonsense":6}})").status, 400);
}

TEST_F(CameraSimTest, SettingsReadBackAsSet) {
    struct Case {
        const char* set;
        const char* body;
        const char* read;
        const char* member;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"set_max_result", R"({"num":3})", "get_device_info", "max_result_num", "3"},
        {"set_predict_speed", R"({"speed":"fast"})", "get_device_info", "predict_speed", "fast"},
        {"set_sold_out_limit", R"({"day":7})", "get_device_info", "soldOutLimit", "7"},
        {"set_learnmode", R"({"mode":1})", "get_learnmode", "mode", "1"},
        {"set_sync_limit", R"({"limit":4})", "get_sync_limit", "limit", "4"},
        {"set_calib", R"({"left":10,"top":20,"width":300,"height":200})", "get_calib", "width",
         "300"},
        {"set_superior", R"({"sn":"PX9","ip":"10.0.0.9"})", "get_superior", "ip", "10.0.0.9"},
        {"set_extra_info", R"({"store_id":"S-12"})", "get_extra_info", "store_id", "S-12"},
        {"set_sync_slave", R"({"upload":true,"download":false,"masterIP":"10.0.0.2"})",
         "get_device_info", "sync_mode", "slave"},
        {"set_sync_master", R"({"upload":true,"download":true})", "get_board_info", "syncMode",
         "master"},
        {"set_time", R"({"sec":1700000000,"usec":5})", "get_time", "sec", "1700000000"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(post(std::string("/api/") + c.set, c.body).code(), 0) << c.set;
        const Object::Ptr data = get(std::string("/api/") + c.read).data();
        ASSERT_TRUE(data && data->has(c.member)) << c.set;
        EXPECT_EQ(data->get(c.member).toString(), c.expected) << c.set;
    }
    EXPECT_FALSE(get("/api/get_extra_info").data()->has("store_name"));
    EXPECT_FALSE(get("/api/get_device_info").data()->has("mastersyncPort"));
}

TEST_F(CameraSimTest, MalformedRequestsAreRefusedAsTheCameraWould) {
    struct Case {
        const char* method;
        const char* path;
        const char* body;
        int status;
        int code;
    };
    const std::vector<Case> cases = {
        {"POST", "/api/set_time", R"({"sec":"1","usec":0})", 200, -6213},
        {"POST", "/api/set_time", R"({"sec":1})", 200, -6213},
        {"POST", "/api/set_max_result", R"({"num":0})", 200, -6213},
        {"POST", "/api/set_sync_slave", R"({"upload":true,"download":false})", 200, -6213},
        {"POST", "/api/set_sold_out_status", R"({"id":"10001","soldout":"yes"})", 200, -6213},
        {"POST", "/api/export_template", R"({"ids":"10001"})", 200, -6213},
        {"POST", "/api/set_calib", R"({"left":0,"top":0,"width":1)", 200, -6200},
        {"POST", "/api/no_such_command", "null", 200, -6117},
        {"GET", "/api/set_time", nullptr, 405, 405},
        {"GET", "/elsewhere", nullptr, 404, 404},
    };
    for (const auto& c : cases) {
        const std::string body = c.body ? c.body : "";
        const HttpReply reply =
            exchange(sim_->port(), c.method, c.path, c.body ? &body : nullptr, "application/json");
        EXPECT_EQ(reply.status, c.status) << c.path << ' ' << body;
        EXPECT_EQ(reply.code(), c.code) << c.path << ' ' << body;
    }
}

TEST_F(CameraSimTest, ImageIsAJpegUnlessAnErrorIsScripted) {
    const HttpReply image = post("/api/get_image");
    ASSERT_EQ(image.status, 200);
    EXPECT_EQ(image.contentType, "image/jpeg");
    ASSERT_GT(image.body.size(), 4u);
    EXPECT_EQ(image.body.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(image.body.substr(image.body.size() - 2), "\xFF\xD9");

    ASSERT_EQ(
        post("/sim/fault", R"({"command":"get_image","error_code":-6103,"once":true})").status,
        200);
    const HttpReply refused = get("/api/get_image");
    EXPECT_NE(refused.contentType.find("application/json"), std::string::npos);
    EXPECT_EQ(refused.code(), -6103);
    EXPECT_EQ(get("/api/get_image").contentType, "image/jpeg");
}

TEST_F(CameraSimTest, ScriptedFaultsChangeTheAnswer) {
    struct Case {
        const char* fault;
        std::function<void(const HttpReply&, std::chrono::milliseconds)> check;
    };
    const std::vector<Case> cases = {
        {R"({"command":"get_device_info","error_code":-6101})",
         [](const HttpReply& r, auto) {
             EXPECT_EQ(r.status, 200);
             EXPECT_EQ(r.code(), -6101);
         }},
        {R"({"command":"*","http_status":500})",
         [](const HttpReply& r, auto) { EXPECT_EQ(r.status, 500); }},
        {R"({"command":"get_device_info","malformed":true})",
         [](const HttpReply& r, auto) {
             EXPECT_EQ(r.status, 200);
             EXPECT_THROW(r.json(), Poco::Exception);
         }},
        {R"({"command":"get_device_info","mistyped":true})",
         [](const HttpReply& r, auto) {
             EXPECT_FALSE(r.data()->get("sn").isString());
             EXPECT_FALSE(r.data()->get("item_count").isInteger());
         }},
        {R"({"command":"get_device_info","delay_ms":300})",
         [](const HttpReply& r, std::chrono::milliseconds took) {
             EXPECT_GE(took.count(), 300);
             EXPECT_EQ(r.code(), 0);
         }},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(post("/sim/fault", c.fault).status, 200) << c.fault;
        const auto started = Clock::now();
        const HttpReply reply = post("/api/get_device_info");
        c.check(reply,
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started));
        ASSERT_EQ(post("/sim/fault/clear", "{}").status, 200);
        EXPECT_EQ(post("/api/get_device_info").code(), 0) << "after " << c.fault;
    }

    // A fault limited to one use expires by itself; a specific rule wins over "*".
    ASSERT_EQ(post("/sim/fault", R"({"command":"*","error_code":-6500})").status, 200);
    ASSERT_EQ(post("/sim/fault", R"({"command":"get_time","error_code":-6109,"once":true})").status,
              200);
    EXPECT_EQ(get("/api/get_time").code(), -6109);
    EXPECT_EQ(get("/api/get_time").code(), -6500);
    EXPECT_EQ(post("/sim/fault", R"({"command":"x","http_status":"500"})").status, 400);
}

TEST_F(CameraSimTest, DroppedOrDownCameraFailsTheExchangeUntilItIsBack) {
    ASSERT_EQ(post("/sim/fault", R"({"command":"get_time","drop":true,"once":true})").status, 200);
    EXPECT_THROW(get("/api/get_time"), Poco::Exception);
    EXPECT_EQ(get("/api/get_time").code(), 0);

    ASSERT_EQ(post("/sim/down", R"({"seconds":30})").status, 200);
    EXPECT_THROW(get("/api/get_time"), Poco::Exception);
    ASSERT_EQ(post("/sim/up", "null").status, 200);
    EXPECT_EQ(get("/api/get_time").code(), 0);

    ASSERT_EQ(post("/sim/down", R"({"ms":800,"mode":"refuse"})").status, 200);
    EXPECT_THROW(get("/api/get_time"), Poco::Net::ConnectionRefusedException);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    bool back = false;
    while (!back && Clock::now() < deadline) {
        try {
            back = get("/api/get_time").code() == 0;
        } catch (const Poco::Exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    EXPECT_TRUE(back);
}

TEST_F(CameraSimTest, RequestLogShowsWhatTheCameraReceived) {
    ASSERT_EQ(post("/api/set_time", R"({"sec":1700000000,"usec":0})").code(), 0);
    ASSERT_EQ(upload("/api/import_template", "import_template.evo", std::string("\x01\x02\xFF", 3),
                     {{"store", "12"}})
                  .code(),
              0);
    get("/api/get_result");

    const Object::Ptr log = get("/sim/requests?limit=10").json();
    Poco::JSON::Array::Ptr requests = log->getArray("requests");
    ASSERT_EQ(requests->size(), 3u);
    const Object::Ptr setTime = requests->getObject(0);
    EXPECT_EQ(setTime->getValue<std::string>("method"), "POST");
    EXPECT_EQ(setTime->getValue<std::string>("path"), "/api/set_time");
    EXPECT_EQ(setTime->getValue<std::string>("body"), R"({"sec":1700000000,"usec":0})");
    EXPECT_EQ(setTime->getValue<std::string>("content_type"), "application/json");

    Poco::JSON::Array::Ptr parts = requests->getObject(1)->getArray("parts");
    ASSERT_EQ(parts->size(), 2u);
    EXPECT_EQ(parts->getObject(0)->getValue<std::string>("filename"), "import_template.evo");
    EXPECT_EQ(parts->getObject(0)->getValue<int>("size"), 3);
    EXPECT_EQ(parts->getObject(1)->getValue<std::string>("value"), "12");
    EXPECT_EQ(requests->getObject(2)->getValue<std::string>("method"), "GET");

    const Object::Ptr filtered = get("/sim/requests?command=get_result").json();
    EXPECT_EQ(filtered->getArray("requests")->size(), 1u);
    ASSERT_EQ(post("/sim/reset").status, 200);
    EXPECT_EQ(get("/sim/requests").json()->getArray("requests")->size(), 0u);
}

TEST_F(CameraSimTest, ConcurrentClientsGetDistinctSessions) {
    constexpr int kClients = 32;
    constexpr int kEach = 10;
    std::vector<std::vector<std::string>> sids(kClients);
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < kEach; ++i) {
                try {
                    sids[c].push_back(post("/api/get_result").data()->getValue<std::string>("sid"));
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    }
    for (auto& client : clients) client.join();
    EXPECT_EQ(failures.load(), 0);
    std::set<std::string> unique;
    for (const auto& list : sids) unique.insert(list.begin(), list.end());
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kClients * kEach));
}

TEST_F(CameraSimTest, StateFolderKeepsProductsAcrossRestarts) {
    Poco::TemporaryFile folder;
    folder.createDirectories();
    sim_->stop();
    startSimulator(folder.path());
    ASSERT_EQ(post("/api/add_item_template", R"({"id":"88001"})").code(), 0);
    ASSERT_EQ(post("/api/set_max_result", R"({"num":4})").code(), 0);
    sim_->stop();
    startSimulator(folder.path());
    EXPECT_EQ(templateCount("88001"), 1);
    EXPECT_EQ(get("/api/get_device_info").data()->getValue<int>("max_result_num"), 4);
}

}  // namespace
}  // namespace korvane::CameraSim
