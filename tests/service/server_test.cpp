#include "server.h"

#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "http_client.h"
#include "temp_dir.h"

using namespace korvane::Testing;
using korvane::Engine::Test::Server;

namespace {

Poco::JSON::Object::Ptr parseObject(const std::string& text) {
    return Poco::JSON::Parser().parse(text).extract<Poco::JSON::Object::Ptr>();
}

std::string sqliteScalar(const std::string& dbPath, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(dbPath.c_str(), &db);
    sqlite3_stmt* statement = nullptr;
    std::string result = "<none>";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        auto text = sqlite3_column_text(statement, 0);
        result = text ? reinterpret_cast<const char*>(text) : "";
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return result;
}

class ServerTest : public ::testing::Test {
  protected:
    ServerTest() : home_("HOME", dir_.path().c_str()) {
        std::filesystem::create_directories(appData());
    }

    std::string appData() const { return dir_.file(".local/share/KORVANE/PellixAgent"); }
    std::string dbPath() const { return appData() + "/service.db"; }
    std::string configPath() const { return appData() + "/config.json"; }

    Server& start(std::uint16_t port = 0) {
        server_ = std::make_unique<Server>(port, dbPath());
        server_->Run();
        return *server_;
    }

    HttpResult post(const std::string& path, const std::string& body) {
        return httpRequest(server_->port(), "POST", path, body, "application/json");
    }

    Poco::JSON::Object::Ptr config(const std::string& body = "{}") {
        auto reply = post("/api/agent/get_config", body);
        EXPECT_EQ(reply.status, 200);
        auto envelope = parseObject(reply.body);
        EXPECT_EQ(envelope->getValue<int>("code"), 0);
        return envelope->getObject("data");
    }

    TempDir dir_;
    ScopedEnv home_;
    std::unique_ptr<Server> server_;
};

}  // namespace

TEST_F(ServerTest, GetConfigAnswersTheWholeMapOrTheRequestedKeys) {
    start();
    auto all = config();
    EXPECT_EQ(all->getValue<std::string>("device_ip"), "172.22.0.7");
    EXPECT_EQ(all->getValue<int>("monitoring_request_frequency"), 20000);
    EXPECT_TRUE(all->getValue<bool>("monitoring_getting_tasks"));
    EXPECT_EQ(all->size(), 16u);

    auto some = config(R"({"keys":["device_ip","no_such_key","device_ip"]})");
    EXPECT_EQ(some->size(), 1u);
    EXPECT_EQ(some->getValue<std::string>("device_ip"), "172.22.0.7");

    EXPECT_EQ(config(R"({"keys":"device_ip"})")->size(), 16u);
    EXPECT_EQ(config(R"({"keys":[]})")->size(), 16u);
}

TEST_F(ServerTest, GetInfoReportsVersionSourceModeAndQueueCounts) {
    start();
    auto info = parseObject(httpRequest(server_->port(), "GET", "/api/agent/get_info").body);
    EXPECT_EQ(info->getValue<int>("code"), 0);
    auto data = info->getObject("data");
    EXPECT_EQ(data->getValue<std::string>("version"), "1.0.0017");
    EXPECT_FALSE(data->getValue<bool>("source_mode_enabled"));
    EXPECT_EQ(data->getValue<int>("source_mode_template_threshold"), 10);
    EXPECT_EQ(data->getValue<int>("source_mode_polling_interval_sec"), 300);
    EXPECT_EQ(data->getValue<std::string>("log_directory"), appData() + "/logs");
    EXPECT_EQ(data->getValue<int>("non_send_alert_count"), 0);
    EXPECT_EQ(data->getValue<int>("non_send_recognition_count"), 0);
    EXPECT_EQ(httpRequest(server_->port(), "POST", "/api/agent/get_info").status, 404);

    // A polling interval stored by the monitoring service survives a restart.
    server_.reset();
    sqliteScalar(
        dbPath(),
        "UPDATE internal_state SET value='45' WHERE key='source_mode_polling_interval_sec' "
        "RETURNING value");
    sqliteScalar(dbPath(),
                 "INSERT INTO alert_queue (created_at, updated_at, code, description) "
                 "VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 400, 'x') RETURNING id");
    start();
    data = parseObject(httpRequest(server_->port(), "GET", "/api/agent/get_info").body)
               ->getObject("data");
    EXPECT_EQ(data->getValue<int>("source_mode_polling_interval_sec"), 45);
    EXPECT_EQ(data->getValue<int>("non_send_alert_count"), 1);
}

TEST_F(ServerTest, AnswersAreCompactSortedAndUnescaped) {
    start();
    ASSERT_EQ(post("/api/agent/set_config", R"({"device_ip":"  камера  "})").status, 200);
    auto reply = post("/api/agent/get_config", R"({"keys":["device_ip","device_port"]})");
    EXPECT_EQ(reply.body, R"({"code":0,"data":{"device_ip":"камера","device_port":"80"}})");
    EXPECT_EQ(reply.contentType, "application/json");
}

TEST_F(ServerTest, SetConfigStoresAppliesAndKeepsSecretsEncrypted) {
    start();
    auto reply = post("/api/agent/set_config",
                      R"({"device_ip":"10.0.0.9","file_storage_service_password":"hunter2"})");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, R"({"code":0,"data":null})");
    auto now = config();
    EXPECT_EQ(now->getValue<std::string>("device_ip"), "10.0.0.9");
    // Stored and applied, but never shown again through the API.
    EXPECT_EQ(now->getValue<std::string>("file_storage_service_password"), "***");

    EXPECT_EQ(sqliteScalar(dbPath(), "SELECT value FROM configurations WHERE key='device_ip'"),
              "10.0.0.9");
    EXPECT_EQ(
        sqliteScalar(dbPath(),
                     "SELECT type FROM configurations WHERE key='file_storage_service_password'"),
        "encrypted_string");
    const auto stored = sqliteScalar(
        dbPath(), "SELECT value FROM configurations WHERE key='file_storage_service_password'");
    EXPECT_EQ(stored.find("hunter2"), std::string::npos);
}

TEST_F(ServerTest, BadBodiesAreAnsweredWithBadRequest) {
    start();
    const std::string badRequest = R"({"code":-6200,"data":null})";
    struct Case {
        std::string path;
        std::string body;
    } cases[] = {
        {"/api/agent/get_config", "not json"},
        {"/api/agent/get_config", "[1,2]"},
        {"/api/agent/get_config", ""},
        {"/api/agent/set_config", R"({"device_ip":"10.0.0.1","z":null})"},
        {"/api/agent/set_config", R"({"a":[1],"device_ip":"10.0.0.1"})"},
        {"/api/agent/set_config", "\"text\""},
        {"/api/agent/set_data_loop_freq", "17"},
    };
    for (const auto& c : cases) {
        auto reply = post(c.path, c.body);
        EXPECT_EQ(reply.status, 400) << c.path << " " << c.body;
        EXPECT_EQ(reply.body, badRequest) << c.path << " " << c.body;
    }
    // The rejected set_config objects changed nothing, not even their valid members.
    EXPECT_EQ(config()->getValue<std::string>("device_ip"), "172.22.0.7");
    EXPECT_EQ(post("/api/agent/set_data_loop_freq", R"({"freq":5})").body,
              R"({"code":0,"data":null})");
}

TEST_F(ServerTest, UnknownPathsCommandsAndMethodsAreNotFound) {
    start();
    struct Case {
        std::string method;
        std::string path;
    } cases[] = {
        {"GET", "/api"},
        {"GET", "/api/no_such_command"},
        {"GET", "/api/agent/get_config"},
        {"POST", "/api/agent/no_such_command"},
        {"GET", "/api/monitoring"},
        {"GET", "/index.html"},
        {"GET", "/download/a/b"},
        {"GET", "/"},
    };
    for (const auto& c : cases) {
        auto reply = httpRequest(server_->port(), c.method, c.path);
        EXPECT_EQ(reply.status, 404) << c.method << " " << c.path;
        EXPECT_EQ(reply.reason, "Not Found");
        EXPECT_TRUE(reply.body.empty());
    }
    // Empty segments are dropped: //api///agent//get_config is the get_config command.
    EXPECT_EQ(post("//api///agent//get_config", R"({"keys":["device_port"]})").body,
              R"({"code":0,"data":{"device_port":"80"}})");
}

TEST_F(ServerTest, PostWithoutLengthHasAnEmptyBodyInsteadOfWaitingForOne) {
    start();
    Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", server_->port()));
    socket.setReceiveTimeout(Poco::Timespan(3, 0));
    const std::string request = "POST /api/agent/set_data_loop_freq HTTP/1.1\r\nHost: x\r\n\r\n";
    socket.sendBytes(request.data(), static_cast<int>(request.size()));
    char buffer[512] = {};
    const int received = socket.receiveBytes(buffer, sizeof(buffer) - 1);
    const std::string answer(buffer, received > 0 ? received : 0);
    EXPECT_EQ(answer.rfind("HTTP/1.1 400 Bad Request", 0), 0u) << answer;
    EXPECT_NE(answer.find(R"({"code":-6200,"data":null})"), std::string::npos) << answer;
}

TEST_F(ServerTest, PendingConfigFileIsImportedOnceAndDeleted) {
    writeFile(configPath(), R"({"device_ip":"10.1.1.1","monitoring_request_frequency":30000})");
    start();
    EXPECT_FALSE(std::filesystem::exists(configPath()));
    EXPECT_EQ(config()->getValue<std::string>("device_ip"), "10.1.1.1");
    EXPECT_EQ(config()->getValue<int>("monitoring_request_frequency"), 30000);

    server_.reset();
    start();
    EXPECT_EQ(config()->getValue<std::string>("device_ip"), "10.1.1.1");
}

TEST_F(ServerTest, UnusableConfigFileIsSetAsideAndTheServerServes) {
    const std::string rejected = configPath() + ".rejected";
    for (const std::string content : {"{ not json", R"([1,2])", R"({"device_ip":null})"}) {
        writeFile(rejected, "older rejected file");
        writeFile(configPath(), content);
        start();
        EXPECT_FALSE(std::filesystem::exists(configPath())) << content;
        EXPECT_EQ(readFile(rejected), content);
        EXPECT_EQ(config()->getValue<std::string>("device_ip"), "172.22.0.7") << content;
        server_.reset();
    }
}

TEST_F(ServerTest, ConfigurationThatCouldNotStartIsRefusedAndABadStoredOneStillServes) {
    start();
    // Refused before anything is stored: every later start would fail on it.
    for (const char* change : {R"({"device_port":"eighty"})", R"({"monitoring_service_port":"4x"})",
                               R"({"monitoring_getting_tasks":"maybe"})"}) {
        const auto reply = post("/api/agent/set_config", change);
        EXPECT_EQ(reply.status, 200) << change;
        EXPECT_EQ(reply.body, R"({"code":-6213,"data":null})") << change;
    }
    EXPECT_EQ(config()->getValue<std::string>("device_port"), "80");
    EXPECT_EQ(config()->getValue<std::string>("monitoring_service_port"), "443");

    // A database edited by hand: the Agent still serves, and the next good change rebuilds.
    server_.reset();
    sqliteScalar(dbPath(), "UPDATE configurations SET value='eighty' WHERE key='device_port'");
    start();
    EXPECT_EQ(config()->getValue<std::string>("device_port"), "eighty");
    EXPECT_EQ(post("/api/agent/set_config", R"({"device_port":"81"})").body,
              R"({"code":0,"data":null})");
    EXPECT_EQ(config()->getValue<std::string>("device_port"), "81");
}

TEST_F(ServerTest, RestartBindsTheSamePortAtOnce) {
    start();
    const auto port = server_->port();
    // A connection the server closes first leaves the port in TIME_WAIT on the server's side.
    Poco::Net::HTTPClientSession session("127.0.0.1", port);
    Poco::Net::HTTPRequest request("POST", "/api/agent/get_config", "HTTP/1.1");
    request.setKeepAlive(false);
    request.setContentLength(2);
    session.sendRequest(request) << "{}";
    Poco::Net::HTTPResponse response;
    session.receiveResponse(response);
    EXPECT_EQ(response.getStatus(), 200);
    server_->Stop();
    server_.reset();
    ASSERT_NO_THROW(start(port));
    EXPECT_EQ(config()->size(), 16u);
}

TEST_F(ServerTest, StopIsIdempotentAndRefusesNewConnections) {
    start();
    const auto port = server_->port();
    server_->Stop();
    server_->Stop();
    EXPECT_THROW(httpRequest(port, "GET", "/api", "", "", std::chrono::milliseconds(500)),
                 Poco::Exception);
}

namespace {

// A stand-in camera answering every request with what it received.
class EchoCamera {
  public:
    EchoCamera() : socket_(0) {
        server_ = std::make_unique<Poco::Net::HTTPServer>(new Factory, socket_,
                                                          new Poco::Net::HTTPServerParams);
        server_->start();
    }
    ~EchoCamera() { server_->stop(); }
    std::uint16_t port() const { return socket_.address().port(); }

  private:
    struct Echo : Poco::Net::HTTPRequestHandler {
        void handleRequest(Poco::Net::HTTPServerRequest& request,
                           Poco::Net::HTTPServerResponse& response) override {
            std::string body;
            Poco::StreamCopier::copyToString(request.stream(), body);
            response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_CREATED, "Made");
            response.set("X-Camera", request.get("X-Client", "none"));
            response.setContentType("text/plain");
            const std::string text =
                request.getMethod() + " " + request.getURI() + " " + request.getHost() + " " + body;
            response.setContentLength(text.size());
            response.send() << text;
        }
    };
    struct Factory : Poco::Net::HTTPRequestHandlerFactory {
        Poco::Net::HTTPRequestHandler* createRequestHandler(
            const Poco::Net::HTTPServerRequest&) override {
            return new Echo;
        }
    };
    Poco::Net::ServerSocket socket_;
    std::unique_ptr<Poco::Net::HTTPServer> server_;
};

}  // namespace

TEST_F(ServerTest, ForwardingRelaysRequestsOutsideTheApiToTheCamera) {
    EchoCamera camera;
    start();
    post("/api/agent/set_config",
         R"({"device_ip":"127.0.0.1","device_port":")" + std::to_string(camera.port()) + R"("})");
    server_->setForwarding(true);

    Poco::Net::HTTPClientSession session("127.0.0.1", server_->port());
    Poco::Net::HTTPRequest request("POST", "/cgi/setup?x=1", "HTTP/1.1");
    request.set("X-Client", "pos");
    request.setContentLength(5);
    session.sendRequest(request) << "hello";
    Poco::Net::HTTPResponse response;
    std::string body;
    Poco::StreamCopier::copyToString(session.receiveResponse(response), body);
    EXPECT_EQ(response.getStatus(), 201);
    EXPECT_EQ(response.get("X-Camera", ""), "pos");
    EXPECT_EQ(body, "POST /cgi/setup?x=1 127.0.0.1 hello");

    // The API itself is never forwarded.
    EXPECT_EQ(config(R"({"keys":["device_ip"]})")->getValue<std::string>("device_ip"), "127.0.0.1");

    post("/api/agent/set_config", R"({"device_port":"1"})");
    auto down = httpRequest(server_->port(), "GET", "/cgi/setup");
    EXPECT_EQ(down.status, 500);
    auto error = parseObject(down.body);
    EXPECT_FALSE(error->getValue<std::string>("error").empty());
}

TEST_F(ServerTest, ConcurrentConfigReadsAndWritesStayConsistent) {
    start();
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([&, i] {
            int n = 0;
            while (!stop) {
                auto reply = i < 2 ? post("/api/agent/set_config",
                                          R"({"device_ip":"10.0.)" + std::to_string(i) + "." +
                                              std::to_string(n++ % 250) + R"("})")
                                   : post("/api/agent/get_config", "{}");
                if (reply.status != 200 || parseObject(reply.body)->getValue<int>("code") != 0) {
                    ++failures;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    const auto ip = config()->getValue<std::string>("device_ip");
    EXPECT_EQ(sqliteScalar(dbPath(), "SELECT value FROM configurations WHERE key='device_ip'"), ip);
}
