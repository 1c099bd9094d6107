// The local API under careless or hostile callers, through the real binary: secrets, where it
// listens, body and head limits, request framing, large uploads and slow clients.
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "agent_process.h"
#include "camera_simulator.h"
#include "http_client.h"
#include "temp_dir.h"

using namespace korvane::Testing;
using namespace std::chrono_literals;
using korvane::CameraSim::CameraSimulator;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kRefused = R"({"code":-6200,"data":null})";

Poco::JSON::Object::Ptr parseObject(const std::string& text) {
    return Poco::JSON::Parser().parse(text).extract<Poco::JSON::Object::Ptr>();
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// What is left of `span` counted from `start`.
std::chrono::milliseconds leftOf(std::chrono::milliseconds span, Clock::time_point start) {
    return span - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// One client connection on raw bytes: for requests no well-behaved client library would send.
class RawClient {
  public:
    explicit RawClient(const std::string& host = "127.0.0.1")
        : socket_(Poco::Net::SocketAddress(host, kAgentPort)) {}

    void send(const std::string& bytes) {
        socket_.sendBytes(bytes.data(), static_cast<int>(bytes.size()));
    }
    // Whatever arrives until the Agent closes the connection or `wait` passes without a byte.
    std::string receive(std::chrono::milliseconds wait = 5s) {
        socket_.setReceiveTimeout(Poco::Timespan(static_cast<long>(wait.count()) * 1000));
        std::string text;
        char buffer[4096];
        try {
            while (true) {
                const int got = socket_.receiveBytes(buffer, sizeof buffer);
                if (got <= 0) {
                    closed_ = true;
                    break;
                }
                text.append(buffer, static_cast<std::size_t>(got));
            }
        } catch (const Poco::TimeoutException&) {
        } catch (const Poco::Net::ConnectionResetException&) {
            closed_ = true;
        }
        return text;
    }
    // Whether the Agent closed the connection within `wait` (anything it sends is dropped).
    bool closedWithin(std::chrono::milliseconds wait) {
        const auto end = Clock::now() + wait;
        while (!closed_ && Clock::now() < end) receive(100ms);
        return closed_;
    }
    bool closed() const { return closed_; }

  private:
    Poco::Net::StreamSocket socket_;
    bool closed_ = false;
};

std::string statusLine(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

std::string bodyOf(const std::string& response) {
    const auto at = response.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : response.substr(at + 4);
}

// kB of one line of /proc/<pid>/status, e.g. "VmHWM".
long statusKb(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

class LocalApiSafetyTest : public ::testing::Test {
  protected:
    LocalApiSafetyTest() : camera_(CameraSimulator::Options{}) {}

    void SetUp() override {
        ASSERT_FALSE(agentAnswers()) << "something already serves port 5555";
        camera_.start();
    }
    void TearDown() override {
        stopAgent();
        camera_.stop();
    }

    // Starts the Agent with the camera simulator and these extra settings, its temporary
    // folder of its own; waits until it answers on `host`.
    void startAgent(const std::string& settings = "", const std::string& host = "127.0.0.1") {
        const std::string data = appData();
        std::filesystem::create_directories(data);
        std::filesystem::create_directories(tmp());
        writeFile(data + "/config.json", R"({"device_ip":"127.0.0.1","device_port":")" +
                                             std::to_string(camera_.port()) + "\"" + settings +
                                             "}");
        agent_ = std::make_unique<ChildProcess>(
            KORVANE_AGENT_BINARY, std::vector<std::string>{},
            agentEnvironment(home_.path().string(), {"TMPDIR=" + tmp()}), output_.path().string());
        ASSERT_TRUE(waitUntil([&] { return answersOn(host); }, 15s)) << agent_->stderrText();
    }
    void stopAgent() {
        if (!agent_) return;
        agent_->signal(SIGTERM);
        EXPECT_EQ(agent_->waitForExit(20s), std::optional<int>(0));
        agent_.reset();
    }

    static bool answersOn(const std::string& host) {
        try {
            RawClient client(host);
            client.send("GET /api/get_time HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
            return statusLine(client.receive(1s)) == "HTTP/1.1 200 OK";
        } catch (const Poco::Exception&) {
            return false;
        }
    }

    std::string appData() const { return home_.file(".local/share/KORVANE/PellixAgent"); }
    std::string tmp() const { return home_.file("tmp"); }
    std::string logText() const { return agentLogText(home_.path().string()); }
    std::string storedValue(const std::string& key) const {
        sqlite3* db = nullptr;
        std::string value;
        if (sqlite3_open_v2((appData() + "/service.db").c_str(), &db, SQLITE_OPEN_READONLY,
                            nullptr) == SQLITE_OK) {
            sqlite3_stmt* statement = nullptr;
            sqlite3_prepare_v2(db, "SELECT value FROM configurations WHERE key = ?", -1, &statement,
                               nullptr);
            sqlite3_bind_text(statement, 1, key.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(statement) == SQLITE_ROW) {
                value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            }
            sqlite3_finalize(statement);
        }
        sqlite3_close(db);
        return value;
    }
    std::size_t filesIn(const std::string& folder) const {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
            ++count;
        }
        return count;
    }
    HttpResult post(const std::string& path, const std::string& body) {
        return httpRequest(kAgentPort, "POST", path, body, "application/json");
    }

    TempDir home_;
    TempDir output_;
    CameraSimulator camera_;
    std::unique_ptr<ChildProcess> agent_;
};

TEST_F(LocalApiSafetyTest, SecretsLeaveOnlyMaskedAndTheMaskKeepsThemStored) {
    startAgent();
    ASSERT_EQ(
        post("/api/agent/set_config",
             R"({"korvane_monitoring_client_secret":"client-s3cret",)"
             R"("file_storage_service_password":"store-pa55","file_storage_service_login":""})")
            .body,
        R"({"code":0,"data":null})");
    const std::string secretCipher = storedValue("korvane_monitoring_client_secret");
    const std::string passwordCipher = storedValue("file_storage_service_password");
    const std::string loginCipher = storedValue("file_storage_service_login");
    ASSERT_FALSE(secretCipher.empty());

    auto config = post("/api/agent/get_config", "{}");
    EXPECT_EQ(config.body.find("client-s3cret"), std::string::npos);
    EXPECT_EQ(config.body.find("store-pa55"), std::string::npos);
    auto data = parseObject(config.body)->getObject("data");
    EXPECT_EQ(data->getValue<std::string>("korvane_monitoring_client_secret"), "***");
    EXPECT_EQ(data->getValue<std::string>("file_storage_service_password"), "***");
    EXPECT_EQ(data->getValue<std::string>("file_storage_service_login"), "");
    EXPECT_EQ(data->getValue<std::string>("device_ip"), "127.0.0.1");

    // A setup tool writes back what it read: the secrets stay as stored, byte for byte.
    std::ostringstream readBack;
    data->stringify(readBack);
    ASSERT_EQ(post("/api/agent/set_config", readBack.str()).body, R"({"code":0,"data":null})");
    EXPECT_EQ(storedValue("korvane_monitoring_client_secret"), secretCipher);
    EXPECT_EQ(storedValue("file_storage_service_password"), passwordCipher);
    EXPECT_EQ(storedValue("file_storage_service_login"), loginCipher);

    // Any other value is a new secret.
    ASSERT_EQ(post("/api/agent/set_config", R"({"file_storage_service_password":"new-pa55"})").body,
              R"({"code":0,"data":null})");
    EXPECT_NE(storedValue("file_storage_service_password"), passwordCipher);
    EXPECT_EQ(logText().find("client-s3cret"), std::string::npos);
}

TEST_F(LocalApiSafetyTest, ListensWhereTheOperatorSaysAndEverywhereOtherwise) {
    // 127.0.0.2 is this machine too, but not the address the API was narrowed to.
    startAgent(R"(,"local_api_address":"127.0.0.1")");
    EXPECT_FALSE(answersOn("127.0.0.2"));
    EXPECT_TRUE(waitUntil(
        [&] {
            return logText().find("Local API listening on 127.0.0.1:5555") != std::string::npos;
        },
        5s));
    stopAgent();

    startAgent(R"(,"local_api_address":"localhost")", "127.0.0.2");
    EXPECT_TRUE(answersOn("127.0.0.1"));
    EXPECT_TRUE(waitUntil(
        [&] {
            return logText().find("local_api_address is not an IPv4 address: localhost") !=
                   std::string::npos;
        },
        5s));
}

struct RawCase {
    const char* what;
    std::string request;
    const char* status;  // expected status line
    bool closes;         // whether the Agent closes the connection after answering
    const char* body;    // expected body; null: not checked
};

TEST_F(LocalApiSafetyTest, OversizedAndIllFramedRequestsAreRefusedWithoutReadingThem) {
    startAgent();
    std::string manyFields = "GET /api/get_time HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 100; ++i) manyFields += "X-Field-" + std::to_string(i) + ": 1\r\n";
    const std::string chunk(64 * 1024, ' ');
    std::string bigChunked =
        "POST /api/agent/set_config HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 17; ++i) bigChunked += "10000\r\n" + chunk + "\r\n";
    const std::string deep(100000, '[');

    const std::vector<RawCase> cases = {
        {"JSON body declared past 1 MiB",
         "POST /api/agent/set_config HTTP/1.1\r\nHost: x\r\n"
         "Content-Length: 1048577\r\n\r\n{",
         "HTTP/1.1 413 Request Entity Too Large", true, kRefused},
        {"chunked JSON body past 1 MiB", bigChunked, "HTTP/1.1 413 Request Entity Too Large", true,
         kRefused},
        {"upload declared past 1 GiB",
         "POST /api/offline_upgrade HTTP/1.1\r\nHost: x\r\n"
         "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: 1073741825\r\n\r\n",
         "HTTP/1.1 413 Request Entity Too Large", true, kRefused},
        {"two Content-Length that differ",
         "POST /api/set_time HTTP/1.1\r\nHost: x\r\n"
         "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}",
         "HTTP/1.1 400 Bad Request", true, kRefused},
        {"Content-Length not a number",
         "POST /api/set_time HTTP/1.1\r\nHost: x\r\n"
         "Content-Length: 2x\r\n\r\n{}",
         "HTTP/1.1 400 Bad Request", true, kRefused},
        {"Content-Length and chunked",
         "POST /api/agent/set_data_loop_freq HTTP/1.1\r\nHost: x\r\n"
         "Content-Length: 40\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n",
         "HTTP/1.1 200 OK", true, R"({"code":0,"data":null})"},
        {"a transfer coding other than chunked",
         "POST /api/set_time HTTP/1.1\r\nHost: x\r\n"
         "Transfer-Encoding: gzip\r\n\r\n",
         "HTTP/1.1 400 Bad Request", true, kRefused},
        {"101 header fields", manyFields + "\r\n", "HTTP/1.1 400 Bad Request", true, nullptr},
        {"a 17 KiB header line",
         "GET /api/get_time HTTP/1.1\r\nHost: x\r\nX-Long: " + std::string(17 * 1024, 'a') +
             "\r\n\r\n",
         "HTTP/1.1 400 Bad Request", true, nullptr},
        {"100,000 nested arrays",
         "POST /api/set_time HTTP/1.1\r\nHost: x\r\nContent-Length: " +
             std::to_string(deep.size()) + "\r\n\r\n" + deep,
         "HTTP/1.1 400 Bad Request", false, kRefused},
        {"a body of exactly 1 MiB is read",
         "POST /api/agent/set_data_loop_freq HTTP/1.1\r\n"
         "Host: x\r\nContent-Length: 1048576\r\n\r\n{}" +
             std::string(1048574, ' '),
         "HTTP/1.1 200 OK", false, R"({"code":0,"data":null})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient client;
        client.send(c.request);
        const std::string response = client.receive(c.closes ? 5s : 1s);
        EXPECT_EQ(statusLine(response), c.status);
        if (c.body) {
            EXPECT_EQ(bodyOf(response), c.body);
        }
        EXPECT_EQ(client.closed(), c.closes);
    }
    EXPECT_TRUE(answersOn("127.0.0.1"));
}

// Sends a multipart upload of `size` file bytes generated on the fly; returns the answer.
std::string streamUpload(RawClient& client, std::uint64_t size, std::uint64_t stopAfter,
                         const std::function<void()>& midway) {
    const std::string head =
        "--b\r\nContent-Disposition: form-data; name=\"file\"; "
        "filename=\"fw.bin\"\r\nContent-Type: application/octet-stream"
        "\r\n\r\n";
    const std::string tail = "\r\n--b--\r\n";
    client.send(
        "POST /api/offline_upgrade HTTP/1.1\r\nHost: x\r\nContent-Type: "
        "multipart/form-data; boundary=b\r\nContent-Length: " +
        std::to_string(head.size() + size + tail.size()) + "\r\n\r\n" + head);
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 % 251);
    for (std::uint64_t sent = 0; sent < size && sent < stopAfter; sent += block.size()) {
        if (sent == size / 2 && midway) midway();
        client.send(block.substr(0, std::min<std::uint64_t>(block.size(), size - sent)));
    }
    if (stopAfter < size) return {};
    client.send(tail);
    return client.receive(60s);
}

TEST_F(LocalApiSafetyTest, LargeUploadPassesThroughAPrivateFileNotMemory) {
    startAgent();
    constexpr std::uint64_t kSize = 500ull << 20;
    const long before = statusKb(agent_->pid(), "VmHWM");
    std::filesystem::perms savedMode{};
    std::size_t savedFiles = 0;
    const auto start = Clock::now();
    RawClient client;
    const std::string answer = streamUpload(client, kSize, kSize, [&] {
        for (const auto& entry : std::filesystem::directory_iterator(tmp())) {
            savedMode = entry.status().permissions();
            ++savedFiles;
        }
    });
    const double seconds = secondsSince(start);
    const long after = statusKb(agent_->pid(), "VmHWM");
    std::cout << "500 MiB upload: " << seconds << " s, VmHWM " << before << " -> " << after
              << " kB, VmRSS " << statusKb(agent_->pid(), "VmRSS") << " kB" << std::endl;

    EXPECT_EQ(bodyOf(answer), R"({"code":0,"data":null})") << answer.substr(0, 200);
    EXPECT_LT(after - before, 64 * 1024) << "kB of resident memory grown";
    EXPECT_EQ(savedFiles, 1u);
    EXPECT_EQ(savedMode, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    auto log = parseObject(
        httpRequest(camera_.port(), "GET", "/sim/requests?command=offline_upgrade").body);
    auto requests = log->getArray("requests");
    ASSERT_EQ(requests->size(), 1u);
    EXPECT_EQ(
        requests->getObject(0)->getArray("parts")->getObject(0)->getValue<std::uint64_t>("size"),
        kSize);
    EXPECT_TRUE(waitUntil([&] { return filesIn(tmp()) == 0; }, 5s));

    // A client that hangs up halfway leaves nothing behind either, and nothing reaches the
    // camera.
    {
        RawClient quitter;
        streamUpload(quitter, 64 << 20, 8 << 20, nullptr);
        ASSERT_TRUE(waitUntil([&] { return filesIn(tmp()) == 1; }, 5s));
    }
    EXPECT_TRUE(waitUntil([&] { return filesIn(tmp()) == 0; }, 15s));
    log = parseObject(
        httpRequest(camera_.port(), "GET", "/sim/requests?command=offline_upgrade").body);
    EXPECT_EQ(log->getArray("requests")->size(), 1u);
}

TEST_F(LocalApiSafetyTest, SlowAndIdleClientsCannotStarveThePointOfSale) {
    startAgent();
    const std::string head = "GET /api/get_time HTTP/1.1\r\nHost: x\r\n\r\n";
    RawClient keptAlive;
    keptAlive.send(head);
    const auto answered = Clock::now();  // give or take the few ms the answer takes
    ASSERT_EQ(statusLine(keptAlive.receive(1s)), "HTTP/1.1 200 OK");

    const auto opened = Clock::now();
    std::vector<std::unique_ptr<RawClient>> silent, half, trickling;
    for (int i = 0; i < 50; ++i) {
        silent.push_back(std::make_unique<RawClient>());
        half.push_back(std::make_unique<RawClient>());
        half.back()->send(head.substr(0, 20));
        trickling.push_back(std::make_unique<RawClient>());
    }
    const double connectSeconds = secondsSince(opened);
    std::atomic<bool> stop = false;
    std::thread trickle([&] {
        for (std::size_t at = 0; !stop && at < head.size(); ++at) {
            for (auto& client : trickling) {
                try {
                    client->send(head.substr(at, 1));
                } catch (const Poco::Exception&) {
                }
            }
            for (int i = 0; i < 10 && !stop; ++i) std::this_thread::sleep_for(100ms);
        }
    });

    const auto asked = Clock::now();
    const auto info = httpRequest(kAgentPort, "GET", "/api/get_device_info", "", "", 10s);
    const double answerSeconds = secondsSince(asked);
    EXPECT_EQ(info.status, 200);
    EXPECT_LT(answerSeconds, 6.0);

    auto allClosed = [](auto& clients, std::chrono::milliseconds wait) {
        bool all = true;
        for (auto& client : clients) all = client->closedWithin(wait) && all;
        return all;
    };
    // Not before the head deadline, and soon after it.
    EXPECT_FALSE(silent.front()->closedWithin(leftOf(9s, opened)));
    EXPECT_TRUE(allClosed(silent, 4s));
    EXPECT_TRUE(allClosed(half, 1s));
    EXPECT_TRUE(allClosed(trickling, 1s));
    const double headSeconds = secondsSince(opened);
    stop = true;
    trickle.join();

    EXPECT_FALSE(keptAlive.closedWithin(leftOf(13s, answered)));
    EXPECT_TRUE(keptAlive.closedWithin(4s));
    const double idleSeconds = secondsSince(answered);
    std::cout << "150 slow connections opened in " << connectSeconds
              << " s; get_device_info answered in " << answerSeconds
              << " s; all head-incomplete connections closed by " << headSeconds
              << " s; idle keep-alive closed by " << idleSeconds << " s" << std::endl;
}

}  // namespace
