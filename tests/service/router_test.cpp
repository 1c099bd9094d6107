#include "router.h"

#include <Poco/Exception.h>
#include <Poco/JSON/JSONException.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "invalid_request.h"

using namespace korvane::Engine::LocalApi;

namespace {

ApiRequest request(const std::string& method, std::vector<std::string> segments) {
    ApiRequest r;
    r.method = method;
    r.segments = std::move(segments);
    return r;
}

ApiHandler answering(const std::string& name) {
    return [name](const ApiRequest&) { return ApiReply::json(name); };
}

class RouterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        router.addCommand("get_time", {"GET"}, answering("get_time"));
        router.addCommand("get_result", {"GET", "POST"},
                          [](const ApiRequest& r) { return ApiReply::json("result " + r.method); });
        router.addAgentCommand("get_config", {"POST"}, answering("agent get_config"));
        router.addRootCommand("metrics", {"GET"}, answering("metrics"));
        router.setMonitoringRoute(answering("monitoring"));
        router.setDownloadRoute(answering("download"));
        router.setOutsideRoute(answering("outside"));
    }
    Router router;
};

}  // namespace

TEST_F(RouterTest, ChoosesTheRouteBySegmentsAndMethodAndNamesIt) {
    struct Case {
        std::string method;
        std::vector<std::string> segments;
        std::string expected;  // "" means not found
        std::string name = "unmatched";
    } cases[] = {
        {"GET", {"api", "get_time"}, "get_time", "get_time"},
        {"POST", {"api", "get_time"}, ""},
        {"GET", {"api", "get_result"}, "result GET", "get_result"},
        {"POST", {"api", "get_result"}, "result POST", "get_result"},
        {"GET", {"api"}, ""},
        {"GET", {"api", "no_such_command"}, ""},
        {"GET", {"api", "get_time", "extra"}, ""},
        {"POST", {"api", "agent", "get_config"}, "agent get_config", "agent/get_config"},
        {"POST", {"api", "agent", "get_config", "ignored"}, "agent get_config", "agent/get_config"},
        {"GET", {"api", "agent", "get_config"}, ""},
        {"POST", {"api", "agent"}, ""},
        {"POST", {"api", "agent", "get_time"}, ""},
        {"GET", {"api", "monitoring", "stores"}, "monitoring", "monitoring"},
        {"GET", {"api", "monitoring"}, ""},
        {"GET", {"api", "other", "x"}, ""},
        {"GET", {"download", "templates.evom"}, "download", "download"},
        {"GET", {"download", "a", "b"}, "outside"},
        {"GET", {"download"}, "outside"},
        {"GET", {}, "outside"},
        {"GET", {"index.html"}, "outside"},
        {"GET", {"metrics"}, "metrics", "metrics"},
        {"POST", {"metrics"}, "outside"},
    };
    for (const auto& c : cases) {
        ApiReply reply = router.route(request(c.method, c.segments));
        std::string path;
        for (const auto& s : c.segments) path += "/" + s;
        const std::string name = c.expected == "outside" ? "outside" : c.name;
        EXPECT_EQ(router.routeName(request(c.method, c.segments)), name) << path;
        if (c.expected.empty()) {
            EXPECT_TRUE(reply.notFound) << c.method << " " << path;
            EXPECT_EQ(reply.status, 404) << c.method << " " << path;
            EXPECT_EQ(reply.reason, "Not Found");
            EXPECT_EQ(reply.contentType, "application/octet-stream");
            EXPECT_TRUE(reply.body.empty());
        } else {
            EXPECT_FALSE(reply.notFound) << c.method << " " << path;
            EXPECT_EQ(reply.body, c.expected) << c.method << " " << path;
        }
    }
}

TEST_F(RouterTest, RoutesWithoutAHandlerAreNotFound) {
    Router empty;
    for (auto segments : std::vector<std::vector<std::string>>{
             {"download", "x"}, {"index.html"}, {"api", "monitoring", "devices"}}) {
        EXPECT_TRUE(empty.route(request("GET", segments)).notFound);
    }
}

TEST_F(RouterTest, HandlerFailuresBecomeEnvelopes) {
    struct Case {
        std::function<void()> fail;
        int status;
        std::string body;
    } cases[] = {
        {[] { throw korvane::Utils::InvalidRequest("missing member"); }, 400,
         R"({"code":-6200,"data":null})"},
        {[] { throw Poco::JSON::JSONException("bad"); }, 400, R"({"code":-6200,"data":null})"},
        {[] { throw std::runtime_error("database gone"); }, 500, R"({"code":-6210,"data":null})"},
        {[] { throw Poco::IOException("disk"); }, 500, R"({"code":-6210,"data":null})"},
    };
    for (const auto& c : cases) {
        Router r;
        r.addCommand("cmd", {"POST"}, [&](const ApiRequest&) -> ApiReply {
            c.fail();
            return ApiReply::json("unreachable");
        });
        ApiReply reply = r.route(request("POST", {"api", "cmd"}));
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.contentType, "application/json");
        EXPECT_EQ(reply.body, c.body);
    }
}
