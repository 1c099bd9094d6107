// The monitoring service simulator over real HTTP on loopback: token issue, renewal, refusal and
// expiry, the bearer check, scripted answers, message checks, the task queue, the directory and
// the recording of raw request targets.
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/StreamCopier.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "monitoring_simulator.h"

namespace korvane::MonitoringSim {
namespace {

using namespace std::chrono_literals;
using Sim = MonitoringSimulator;

constexpr const char* kForm = "application/x-www-form-urlencoded";
constexpr const char* kJson = "application/json";

struct HttpReply {
    int status = 0;
    std::string body;
    boost::json::value json() const { return boost::json::parse(body); }
};

HttpReply send(Poco::Net::HTTPClientSession& session, const std::string& method,
               const std::string& target, const std::string& body = {},
               const std::string& contentType = {}, const std::string& token = {}) {
    session.setTimeout(Poco::Timespan(5, 0));
    Poco::Net::HTTPRequest request(method, target, Poco::Net::HTTPMessage::HTTP_1_1);
    if (!token.empty()) request.set("Authorization", "Bearer " + token);
    if (!contentType.empty()) {
        request.setContentType(contentType);
        request.setContentLength64(static_cast<Poco::Int64>(body.size()));
        session.sendRequest(request) << body;
    } else {
        session.sendRequest(request);
    }
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    HttpReply reply;
    reply.status = response.getStatus();
    Poco::StreamCopier::copyToString(in, reply.body);
    return reply;
}

std::string text(const boost::json::value& value) {
    return std::string(value.as_string());
}

std::string tokenForm(const std::string& secret, const std::string& refresh = {}) {
    std::string form = "grant_type=client_credentials&client_id=device&client_secret=" + secret;
    return refresh.empty() ? form : form + "&refresh_token=" + refresh;
}

std::string recognitionBody() {
    return R"({"recognition_session":"s1","response_time_ms":120,"method_of_selection":"auto",)"
           R"("position_relevance":"1","product_code":10001,"product_category":"fruit",)"
           R"("product_name":"Apples","product_weight":1.25,"top_recognition":[{"product_code":)"
           R"(10001,"product_name":"Apples","product_category":"fruit","product_rate":0.93}],)"
           R"("recognition_image_url":"","created_at":"2025-01-02T10:11:12Z"})";
}

class MonitoringSimTest : public ::testing::Test {
  protected:
    void SetUp() override { sim_.start(); }

    HttpReply call(const std::string& method, const std::string& target,
                   const std::string& body = {}, const std::string& contentType = {},
                   const std::string& token = {}) {
        Poco::Net::HTTPClientSession session(sim_.host(), sim_.port());
        return send(session, method, target, body, contentType, token);
    }
    HttpReply token(const std::string& form) { return call("POST", Routes::kToken, form, kForm); }
    std::string accessToken() {
        const HttpReply reply = token(tokenForm("sim-secret"));
        EXPECT_EQ(reply.status, 200);
        return std::string(reply.json().at("access_token").as_string());
    }
    HttpReply post(const std::string& target, const std::string& json, const std::string& bearer) {
        return call("POST", target, json, kJson, bearer);
    }

    Sim sim_;
};

TEST_F(MonitoringSimTest, IssuesRenewsAndRefusesTokensAndRecordsTheFormsInOrder) {
    const HttpReply wrongSecret = token(tokenForm("other"));
    EXPECT_EQ(wrongSecret.status, 401);
    EXPECT_TRUE(wrongSecret.json().as_object().contains("error"));
    EXPECT_EQ(token("grant_type=password&client_id=device&client_secret=sim-secret").status, 400);
    EXPECT_EQ(call("POST", Routes::kToken, tokenForm("sim-secret"), kJson).status, 400);

    const boost::json::object first = token(tokenForm("sim-secret")).json().as_object();
    for (const char* member : {"access_token", "expires_in", "refresh_expires_in", "refresh_token",
                               "scope", "session_state", "token_type"}) {
        EXPECT_TRUE(first.contains(member)) << member;
    }
    EXPECT_EQ(first.at("token_type"), "Bearer");
    EXPECT_EQ(first.at("expires_in"), 300);
    EXPECT_TRUE(sim_.isTokenValid(std::string(first.at("access_token").as_string())));

    const std::string refresh(first.at("refresh_token").as_string());
    const HttpReply renewed = token(tokenForm("sim-secret", refresh));
    ASSERT_EQ(renewed.status, 200);
    EXPECT_NE(renewed.json().at("access_token"), first.at("access_token"));
    EXPECT_EQ(renewed.json().at("session_state"), first.at("session_state"));
    // The used refresh token is retired, and a made-up one was never valid.
    EXPECT_EQ(token(tokenForm("sim-secret", refresh)).status, 401);
    EXPECT_EQ(token(tokenForm("sim-secret", "made-up")).json().at("error"), "invalid_grant");

    const auto records = sim_.tokenRequests();
    ASSERT_EQ(records.size(), 7u);
    const NameValues expected = {{"grant_type", "client_credentials"},
                                 {"client_id", "device"},
                                 {"client_secret", "sim-secret"},
                                 {"refresh_token", refresh}};
    EXPECT_EQ(records[4].form, expected);
    EXPECT_TRUE(records[4].renewal);
    EXPECT_FALSE(records[3].renewal);
    EXPECT_EQ(records[3].accessToken, std::string(first.at("access_token").as_string()));
    std::vector<int> statuses;
    for (const auto& record : records) statuses.push_back(record.status);
    EXPECT_EQ(statuses, (std::vector<int>{401, 400, 400, 200, 200, 401, 401}));
}

TEST_F(MonitoringSimTest, ScriptedTokenAnswersApplyToTheNextRequestsOnly) {
    sim_.refuseNextTokens(2, 503);
    sim_.setExpiresIn(61);
    EXPECT_EQ(token(tokenForm("sim-secret")).status, 503);
    EXPECT_EQ(token(tokenForm("sim-secret")).status, 503);

    sim_.omitFromNextToken("session_state");
    const auto lacking = token(tokenForm("sim-secret")).json().as_object();
    EXPECT_FALSE(lacking.contains("session_state"));
    EXPECT_EQ(lacking.at("expires_in"), 61);

    sim_.emptyNextToken();
    const HttpReply empty = token(tokenForm("sim-secret"));
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.body, "");
    EXPECT_TRUE(token(tokenForm("sim-secret")).json().as_object().contains("session_state"));
}

TEST_F(MonitoringSimTest, BearerCheckFollowsTheTokenClock) {
    const auto first = token(tokenForm("sim-secret")).json().as_object();
    const std::string access(first.at("access_token").as_string());
    const std::string refresh(first.at("refresh_token").as_string());

    EXPECT_EQ(call("GET", Routes::kStores).status, 401);
    EXPECT_EQ(call("GET", Routes::kStores, {}, {}, "unknown").status, 401);
    EXPECT_EQ(call("GET", Routes::kStores, {}, {}, access).status, 200);

    sim_.advanceClock(301s);  // past expires_in, within refresh_expires_in
    EXPECT_EQ(call("GET", Routes::kStores, {}, {}, access).status, 401);
    const HttpReply renewed = token(tokenForm("sim-secret", refresh));
    ASSERT_EQ(renewed.status, 200);
    const std::string fresh(renewed.json().at("access_token").as_string());
    EXPECT_EQ(call("GET", Routes::kStores, {}, {}, fresh).status, 200);

    sim_.expireTokens();
    EXPECT_EQ(call("GET", Routes::kStores, {}, {}, fresh).status, 401);
    EXPECT_EQ(
        token(tokenForm("sim-secret", std::string(renewed.json().at("refresh_token").as_string())))
            .status,
        401);

    sim_.setRequireBearer(false);
    EXPECT_EQ(call("GET", Routes::kStores).status, 200);
    const auto stores = sim_.requests("GET", Routes::kStores);
    ASSERT_EQ(stores.size(), 7u);
    EXPECT_FALSE(stores[1].tokenValid);
    EXPECT_TRUE(stores[2].tokenValid);
    EXPECT_EQ(stores[2].bearerToken, access);
}

TEST_F(MonitoringSimTest, ScriptedAnswersAreConsumedInOrderThenTheStickyOne) {
    const std::string bearer = accessToken();
    const std::string target = "/api/v1/devices/D1/recognition";
    Sim::Answer slow{202, "", kJson, 150ms, false};
    Sim::Answer dropped{200, "", kJson, 0ms, true};
    sim_.script("POST", Routes::kRecognition,
                std::vector<Sim::Answer>{{500, R"({"code":"X"})"}, slow});
    sim_.script("POST", Routes::kRecognition, dropped);
    sim_.setSticky("POST", Routes::kRecognition, Sim::Answer{503, "busy", "text/plain"});

    // A malformed message is refused before any script and consumes nothing.
    EXPECT_EQ(post(target, R"({"recognition_session":"s1"})", bearer).status, 400);
    const HttpReply failed = post(target, recognitionBody(), bearer);
    EXPECT_EQ(failed.status, 500);
    EXPECT_EQ(failed.body, R"({"code":"X"})");
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(post(target, recognitionBody(), bearer).status, 202);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 150ms);
    EXPECT_ANY_THROW(post(target, recognitionBody(), bearer));
    EXPECT_EQ(post(target, recognitionBody(), bearer).status, 503);
    EXPECT_EQ(post(target, recognitionBody(), bearer).status, 503);
    sim_.clearScript("POST", Routes::kRecognition);
    EXPECT_EQ(post(target, recognitionBody(), bearer).status, 200);

    std::vector<int> statuses;
    for (const auto& message : sim_.recognitions()) {
        statuses.push_back(message.status);
        EXPECT_EQ(message.deviceId, "D1");
    }
    EXPECT_EQ(statuses, (std::vector<int>{500, 202, 0, 503, 503, 200}));
    EXPECT_EQ(sim_.recognitions().back().body.at("product_code"), 10001);
    EXPECT_TRUE(sim_.waitForRequests("POST", Routes::kRecognition, 7, 1s));
    EXPECT_EQ(sim_.requests("POST", Routes::kRecognition)[3].status, 0);

    // A script for any route of any method.
    sim_.script("*", Routes::kAny, Sim::Answer{418, ""});
    EXPECT_EQ(call("GET", "/api/v1/devices/D1/state", {}, {}, bearer).status, 418);
    EXPECT_EQ(call("GET", "/api/v1/devices/D1/state", {}, {}, bearer).body, "null");
}

TEST_F(MonitoringSimTest, DeviceMessagesOfTheWrongShapeAreRefused) {
    const std::string bearer = accessToken();
    struct Case {
        const char* route;
        std::string body;
        int status;
    };
    std::string weightAsInteger = recognitionBody();
    weightAsInteger.replace(weightAsInteger.find("1.25"), 4, "2");
    std::string codeAsText = recognitionBody();
    codeAsText.replace(codeAsText.find("10001"), 5, "\"10001\"");
    std::string rateMissing = recognitionBody();
    rateMissing.replace(rateMissing.find(R"(,"product_rate":0.93)"), 20, "");
    std::string extraMember = recognitionBody();
    extraMember.insert(1, R"("image":"x",)");
    const std::vector<Case> cases = {
        {"recognition", recognitionBody(), 200},
        {"recognition", weightAsInteger, 200},
        {"recognition", codeAsText, 400},
        {"recognition", rateMissing, 400},
        {"recognition", extraMember, 400},
        {"recognition", "not json", 400},
        {"alert", R"({"error_code":-6103,"description":"lost","created_at":"2025"})", 200},
        {"alert", R"({"error_code":"-6103","description":"lost","created_at":"2025"})", 400},
        {"alarm", R"({"code":"-6103","description":"lost"})", 200},
        {"alarm", R"({"code":-6103,"description":"lost"})", 400},
        {"attributes", R"([{"key":"sn","value":"A1"},{"key":"upload","value":true}])", 200},
        {"attributes", R"([{"key":"sn","value":1.5}])", 400},
        {"attributes", "[]", 400},
        {"telemetry", R"([{"key":"ping","value":true}])", 200},
        {"telemetry", R"({"key":"ping","value":true})", 400},
        {"recognition_models/autodistribution", R"({"exportType":"s3","url":"http://x/a"})", 200},
        {"recognition_models/autodistribution", R"({"exportType":"ftp","url":"http://x/a"})", 400},
        {"recognition_models/autodistribution", R"({"exportType":"s3"})", 400},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(post(std::string("/api/v1/devices/D1/") + c.route, c.body, bearer).status,
                  c.status)
            << c.route << " " << c.body;
    }
    EXPECT_EQ(call("POST", "/api/v1/devices/D1/alarm", R"({"code":"1","description":"d"})",
                   "text/plain", bearer)
                  .status,
              415);
    EXPECT_EQ(sim_.recognitions().size(), 2u);
    EXPECT_EQ(sim_.alerts().size(), 1u);
    EXPECT_EQ(sim_.alarms().size(), 1u);
    EXPECT_EQ(sim_.attributes().size(), 1u);
    EXPECT_EQ(sim_.autodistributions().size(), 1u);
    // The directory read shows what the device reported.
    const HttpReply kept = call("GET", "/api/v1/devices/D1/attributes", {}, {}, bearer);
    EXPECT_EQ(kept.json().at("data").as_array().size(), 2u);
}

TEST_F(MonitoringSimTest, TasksAreHandedOutInOrderAndAnsweredOnce) {
    const std::string bearer = accessToken();
    const std::string base = "/api/v1/devices/D1/";
    EXPECT_EQ(call("GET", base + "task", {}, {}, bearer).status, 204);

    const std::string first = sim_.queueTask({"", "exec_command", {{"command", "reboot"}}});
    const std::string second = sim_.queueTask({"77", "set_source_mode", boost::json::object()});
    sim_.script("GET", Routes::kTask, Sim::Answer{200, R"({"id":"s9","type":"x","data":{}})"});
    EXPECT_EQ(call("GET", base + "task", {}, {}, bearer).json().at("id"), "s9");
    EXPECT_EQ(sim_.pendingTasks(), 2u);

    const boost::json::value task = call("GET", base + "task", {}, {}, bearer).json();
    EXPECT_EQ(task, boost::json::parse(R"({"id":")" + first +
                                       R"(","type":"exec_command","data":{"command":"reboot"}})"));
    EXPECT_EQ(text(call("GET", base + "task", {}, {}, bearer).json().at("id")), second);
    EXPECT_EQ(call("GET", base + "task", {}, {}, bearer).status, 204);

    EXPECT_EQ(post(base + "tasks/" + first + "/confirm", R"({"url":"u"})", bearer).status, 200);
    const HttpReply again = post(base + "tasks/" + first + "/confirm", "{}", bearer);
    EXPECT_EQ(again.status, 422);
    EXPECT_EQ(again.json().at("code"), "SERVER_TASK_INVALID_STATUS");
    EXPECT_EQ(post(base + "tasks/77/error", R"({"error":"-6103"})", bearer).status, 400);
    EXPECT_EQ(
        post(base + "tasks/77/error", R"({"error":"-6103","description":"m"})", bearer).status,
        200);
    EXPECT_EQ(post(base + "tasks/s9/reject", R"({"description":"r"})", bearer).status, 200);
    EXPECT_EQ(post(base + "tasks/never/reject", R"({"description":"r"})", bearer).status, 404);

    const auto answers = sim_.taskAnswers();
    ASSERT_EQ(answers.size(), 5u);
    EXPECT_EQ(answers[0].taskId, first);
    EXPECT_EQ(answers[0].action, "confirm");
    EXPECT_EQ(answers[0].body.at("url"), "u");
    EXPECT_EQ(answers[2].action, "error");
    EXPECT_EQ(answers[2].status, 200);
}

TEST_F(MonitoringSimTest, RecordsTheRawTargetAndDecodesOneSegmentPerId) {
    const std::string bearer = accessToken();
    const std::string target = "/api/v1/devices/a%3Fb%23c%2Fd/attributes?x=1&y=a%20b&x=2";
    EXPECT_EQ(call("GET", target, {}, {}, bearer).status, 404);  // no such device yet

    const auto records = sim_.requests("GET", Routes::kAttributes);
    ASSERT_EQ(records.size(), 1u);
    const auto& record = records[0];
    EXPECT_EQ(record.target, target);
    EXPECT_EQ(record.segments,
              (std::vector<std::string>{"api", "v1", "devices", "a?b#c/d", "attributes"}));
    EXPECT_EQ(record.deviceId, "a?b#c/d");
    EXPECT_EQ(record.query, (NameValues{{"x", "1"}, {"y", "a b"}, {"x", "2"}}));
    EXPECT_EQ(record.queryValue("x"), "1");
    EXPECT_EQ(record.header("authorization"), "Bearer " + bearer);
    EXPECT_GT(record.sequence, sim_.requests().front().sequence);

    // An unencoded "/" splits the id, so the route is no longer the attribute read.
    call("GET", "/api/v1/devices/a/b/attributes", {}, {}, bearer);
    EXPECT_EQ(sim_.requests().back().route, "");
    EXPECT_EQ(sim_.requests().back().status, 404);
}

TEST_F(MonitoringSimTest, DirectoryFindsCreatesChangesAndDeletesDevices) {
    const std::string bearer = accessToken();
    const std::string serial = "SN%2042";  // "SN 42"
    const HttpReply created = post(
        "/api/v1/devices",
        R"({"serial_number":"SN 42","model":"Korvane Pellix Module","type":"recognition_module"})",
        bearer);
    ASSERT_EQ(created.status, 200);
    const std::string id(created.json().at("id").as_string());
    EXPECT_EQ(post("/api/v1/devices", R"({"serial_number":"SN 42"})", bearer).status, 409);

    const HttpReply found =
        call("GET",
             "/api/v1/devices?serial_number=" + serial +
                 "&model=Korvane%20Pellix%20Module&type=recognition_module&page=1",
             {}, {}, bearer);
    ASSERT_EQ(found.status, 200);
    ASSERT_EQ(found.json().at("data").as_array().size(), 1u);
    EXPECT_EQ(text(found.json().at("data").at(0).at("id")), id);

    const std::string device = "/api/v1/devices/" + id;
    EXPECT_EQ(call("PATCH", device, R"({"name":"Scale 9"})", kJson, bearer).json().at("name"),
              "Scale 9");
    EXPECT_EQ(call("GET", device, {}, {}, bearer).json().at("serial_number"), "SN 42");
    EXPECT_EQ(
        call("GET", "/api/v1/devices/models", {}, {}, bearer).json().at("data").at(0).at("name"),
        "Korvane Pellix Module");
    EXPECT_EQ(call("DELETE", device, {}, {}, bearer).status, 200);
    EXPECT_EQ(call("DELETE", device, {}, {}, bearer).status, 404);
    EXPECT_EQ(call("GET", "/api/v1/stores/regions", {}, {}, bearer).json().at("total"), 2);
}

TEST_F(MonitoringSimTest, DownModeAndTheControlApi) {
    const std::string bearer = accessToken();
    const auto control = [this](const std::string& method, const std::string& path,
                                const std::string& body = {}) {
        return call(method, path, body, body.empty() ? std::string() : kJson);
    };
    EXPECT_EQ(control("POST", "/sim/down", "{}").status, 200);
    EXPECT_ANY_THROW(call("GET", "/api/v1/devices/D1/state", {}, {}, bearer));
    EXPECT_EQ(control("POST", "/sim/up").status, 200);

    control("POST", "/sim/state", R"({"is_source_mode_enabled":false})");
    EXPECT_EQ(call("GET", "/api/v1/devices/D1/state", {}, {}, bearer).json(),
              boost::json::parse(R"({"is_source_mode_enabled":false})"));
    control("POST", "/sim/script",
            R"({"method":"POST","route":"/api/v1/devices/{id}/alert","status":500})");
    EXPECT_EQ(post("/api/v1/devices/D1/alert",
                   R"({"error_code":1,"description":"d","created_at":"c"})", bearer)
                  .status,
              500);
    control("POST", "/sim/tasks", R"({"type":"download_log_file"})");
    EXPECT_EQ(call("GET", "/api/v1/devices/D1/task", {}, {}, bearer).json().at("type"),
              "download_log_file");
    const auto alerts = control("GET", "/sim/received/alerts").json().as_array();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].at("status"), 500);
    const std::string log = control("GET", "/sim/requests").body;
    EXPECT_EQ(log.find(bearer), std::string::npos);  // credentials stay out of the control output

    EXPECT_EQ(control("POST", "/sim/reset").status, 200);
    EXPECT_TRUE(sim_.requests().empty());
    EXPECT_EQ(call("GET", "/api/v1/devices/D1/state", {}, {}, bearer).status, 401);
}

TEST_F(MonitoringSimTest, DirectoryListsFilterAndRefuseWrongRequests) {
    const std::string bearer = accessToken();
    const auto get = [&](const std::string& target) { return call("GET", target, {}, {}, bearer); };
    EXPECT_EQ(get("/api/v1/stores").json().at("total"), 3);
    const auto north = get("/api/v1/stores?region=North&page=2").json().at("data").as_array();
    ASSERT_EQ(north.size(), 2u);
    for (const auto& store : north) EXPECT_EQ(store.at("region"), "North");
    EXPECT_EQ(get("/api/v1/stores/types").json().at("total"), 3);
    EXPECT_EQ(get("/api/v1/stores/departments").json().at("data").at(1).at("name"), "grocery");

    const HttpReply model = post("/api/v1/devices/models", R"({"name":"Scale S3"})", bearer);
    ASSERT_EQ(model.status, 200);
    EXPECT_EQ(get("/api/v1/devices/models?name=Scale%20S3").json().at("data").at(0).at("id"),
              model.json().at("id"));

    ASSERT_EQ(
        post("/api/v1/devices/device-1/attributes", R"([{"key":"sn","value":"A"}])", bearer).status,
        200);
    post("/api/v1/devices/device-1/attributes", R"([{"key":"sn","value":"B"}])", bearer);
    const HttpReply data = post("/api/v1/devices/data", R"({"device_ids":["device-1"]})", bearer);
    ASSERT_EQ(data.status, 200);
    EXPECT_EQ(data.json().at("data"),
              boost::json::parse(R"([{"id":"device-1","attributes":[{"key":"sn","value":"B"}]}])"));

    struct Case {
        const char* method;
        const char* target;
        const char* body;
        const char* contentType;
        int status;
    };
    const Case cases[] = {
        {"POST", "/api/v1/devices", R"({"serial_number":"X"})", "text/plain", 415},
        {"POST", "/api/v1/devices", "[1]", kJson, 400},
        {"POST", "/api/v1/devices", R"({"model":"M"})", kJson, 400},
        {"PATCH", "/api/v1/devices/device-1", R"({"name":7})", kJson, 400},
        {"PATCH", "/api/v1/devices/none", R"({"name":"n"})", kJson, 404},
        {"DELETE", "/api/v1/stores", "", "", 405},
        {"GET", "/api/v1/devices/D1/recognition", "", "", 405},
        {"GET", "/api/v1/unknown", "", "", 404},
        {"GET", "/api/v1/devices/", "", "", 404},  // an empty id is no id
    };
    for (const auto& c : cases) {
        EXPECT_EQ(call(c.method, c.target, c.body, c.contentType, bearer).status, c.status)
            << c.method << " " << c.target << " " << c.body;
    }
    EXPECT_EQ(get("/api/v1/devices/device-1").json().at("name"), "Produce scale 1");
}

TEST_F(MonitoringSimTest, ControlApiScriptsTokensAndAnswers) {
    const auto control = [this](const std::string& path, const std::string& body) {
        return call("POST", path, body, kJson);
    };
    ASSERT_EQ(
        control("/sim/token", R"({"refuse_next":1,"refuse_status":503,"expires_in":90})").status,
        200);
    EXPECT_EQ(token(tokenForm("sim-secret")).status, 503);
    const std::string bearer = accessToken();
    EXPECT_EQ(call("GET", "/sim/token/requests").json().at(1).at("form"),
              boost::json::parse(R"([["grant_type","client_credentials"],["client_id","device"],)"
                                 R"(["client_secret","***"]])"));

    control("/sim/script", R"({"method":"GET","route":"/api/v1/devices/{id}/state",)"
                           R"("body":{"is_source_mode_enabled":true},"sticky":true})");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(call("GET", "/api/v1/devices/D1/state", {}, {}, bearer)
                      .json()
                      .at("is_source_mode_enabled"),
                  true);
    }
    control("/sim/script/clear", "{}");
    EXPECT_EQ(call("GET", "/api/v1/devices/D1/state", {}, {}, bearer).body, "null");

    EXPECT_EQ(control("/sim/script", R"({"status":"500"})").status, 400);
    EXPECT_EQ(control("/sim/state", "{not json").status, 400);
    EXPECT_EQ(control("/sim/nothing", "{}").status, 404);

    // Reset brings back the start-up token lifetime and the seeded directory.
    sim_.clearDirectory();
    control("/sim/reset", "");
    EXPECT_EQ(token(tokenForm("sim-secret")).json().at("expires_in"), 300);
    EXPECT_EQ(sim_.devices().size(), 2u);
}

// A fleet benchmark drives an outage through the control port: refusing must really close the
// service port, and coming back must reopen the same port with tokens and records kept, while
// the per-second counts and the per-session acceptance survive it.
TEST(MonitoringSimControlPortTest, RefusingClosesTheServicePortAndUpReopensItWithStateKept) {
    Sim::Options options;
    options.controlPort = 0;
    Sim sim(options);
    sim.start();
    const auto call = [&](std::uint16_t port, const std::string& method, const std::string& target,
                          const std::string& body = {}, const std::string& contentType = {},
                          const std::string& bearer = {}) {
        Poco::Net::HTTPClientSession session(sim.host(), port);
        return send(session, method, target, body, contentType, bearer);
    };
    const std::uint16_t service = sim.port();
    const std::string bearer =
        std::string(call(service, "POST", Routes::kToken, tokenForm("sim-secret"), kForm)
                        .json()
                        .at("access_token")
                        .as_string());
    const std::string recognition = "/api/v1/devices/D1/recognition";
    EXPECT_EQ(call(service, "POST", recognition, recognitionBody(), kJson, bearer).status, 200);
    Sim::Answer refusal;
    refusal.status = 503;
    sim.script("POST", Routes::kRecognition, refusal);
    EXPECT_EQ(call(service, "POST", recognition, recognitionBody(), kJson, bearer).status, 503);

    EXPECT_EQ(call(sim.controlPort(), "POST", "/sim/down", R"({"refuse":true})", kJson).status,
              200);
    EXPECT_ANY_THROW(call(service, "GET", "/api/v1/devices/D1/state", {}, {}, bearer));
    EXPECT_EQ(call(sim.controlPort(), "POST", "/sim/up", "{}", kJson).status, 200);
    EXPECT_EQ(sim.port(), service);
    EXPECT_EQ(call(service, "GET", "/api/v1/devices/D1/state", {}, {}, bearer).status, 200);

    EXPECT_EQ(call(sim.controlPort(), "GET", "/sim/received/recognition-sessions").json(),
              boost::json::parse(R"({"s1":1})"));
    std::map<std::string, std::int64_t> perKind;
    const auto traffic = call(sim.controlPort(), "GET", "/sim/traffic").json().as_object();
    for (const auto& row : traffic.at("seconds").as_array()) {
        for (std::size_t i = 1; i < row.as_array().size(); ++i) {
            perKind[text(traffic.at("kinds").as_array()[i - 1])] += row.as_array()[i].as_int64();
        }
    }
    EXPECT_EQ(perKind, (std::map<std::string, std::int64_t>{{"token", 1},
                                                            {"recognition", 2},
                                                            {"state", 1},
                                                            {"telemetry", 0},
                                                            {"task", 0},
                                                            {"attributes", 0},
                                                            {"alarm", 0},
                                                            {"alert", 0},
                                                            {"other", 0}}));
    EXPECT_EQ(call(sim.controlPort(), "GET", "/api/v1/stores").status, 404);
}

TEST_F(MonitoringSimTest, DownModeDropsTokenRequestsAndRecordsThem) {
    sim_.setDown(true);
    EXPECT_ANY_THROW(token(tokenForm("sim-secret")));
    sim_.setDown(false);
    EXPECT_EQ(token(tokenForm("sim-secret")).status, 200);
    const auto records = sim_.tokenRequests();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].status, 0);
    EXPECT_EQ(records[0].accessToken, "");
    EXPECT_EQ(sim_.requests("POST", Routes::kToken)[0].status, 0);
}

TEST_F(MonitoringSimTest, RecordsStayWholeWhileDevicesSendConcurrently) {
    const std::string bearer = accessToken();
    constexpr int kSenders = 4;
    constexpr int kEach = 15;
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([this, &bearer, s] {
            for (int i = 0; i < kEach; ++i) {
                post("/api/v1/devices/D" + std::to_string(s) + "/telemetry",
                     R"([{"key":"n","value":)" + std::to_string(i) + "}]", bearer);
            }
        });
    }
    // Readers run against the senders; the final counts must come out exact.
    while (!sim_.waitForRequests("POST", Routes::kTelemetry, kSenders * kEach, 5ms)) {
        EXPECT_LE(sim_.telemetry().size(), static_cast<std::size_t>(kSenders * kEach));
        sim_.requests();
    }
    for (auto& sender : senders) sender.join();
    const auto received = sim_.telemetry();
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kSenders * kEach));
    // Each device's messages keep their sending order.
    std::map<std::string, std::int64_t> last;
    for (const auto& message : received) {
        const std::int64_t value = message.body.at(0).at("value").as_int64();
        const auto seen = last.find(message.deviceId);
        if (seen != last.end()) {
            EXPECT_EQ(value, seen->second + 1) << message.deviceId;
        }
        last[message.deviceId] = value;
    }
    EXPECT_EQ(last.size(), static_cast<std::size_t>(kSenders));
}

// HTTPS with a throw-away self-signed certificate.
TEST(MonitoringSimTlsTest, ServesTokensOverTls) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("monitoring_sim_tls_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string base = (dir / "server").string();
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj /CN=korvane-test -addext subjectAltName=IP:127.0.0.1 -keyout " +
        base + ".key -out " + base + ".pem >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        std::filesystem::remove_all(dir);
        GTEST_SKIP() << "the openssl command could not create a test certificate";
    }
    Sim::Options options;
    options.certificateFile = base + ".pem";
    options.privateKeyFile = base + ".key";
    Sim sim(options);
    sim.start();
    EXPECT_EQ(sim.baseUrl(), "https://127.0.0.1:" + std::to_string(sim.port()));

    Poco::Net::Context::Params params;
    params.caLocation = base + ".pem";
    params.verificationMode = Poco::Net::Context::VERIFY_RELAXED;
    Poco::Net::HTTPSClientSession session(
        sim.host(), sim.port(), new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, params));
    const HttpReply reply = send(session, "POST", Routes::kToken, tokenForm("sim-secret"), kForm);
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(sim.isTokenValid(std::string(reply.json().at("access_token").as_string())));
    sim.stop();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvane::MonitoringSim
