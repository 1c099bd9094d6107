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
    // from: the local address to connect from (loopback has them all), "" for the kernel's.
    explicit RawClient(const std::string& host = "127.0.0.1", const std::string& from = "") {
        if (!from.empty()) socket_.impl()->bind(Poco::Net::SocketAddress(from, 0), false);
        socket_.connect(Poco::Net::SocketAddress(host, kAgentPort));
    }

    void send(const std::string& bytes) {
        socket_.sendBytes(bytes.data(), static_cast<int>(bytes.size()));
    }
    // send() for a client the Agent may have closed already.
    void trySend(const std::string& bytes) {
        try {
            send(bytes);
        } catch (const Poco::Exception&) {
            closed_ = true;
        }
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
    std::atomic<bool> closed_ = false;
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
        EXPECT_EQ(agent_->waitForExit(20s), std::optional<int>(0)) << agent_->stderrText();
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
    EXPECT_EQ(post("/api/agent/set_config", R"({"local_api_address":"localhost"})").body,
              R"({"code":-6213,"data":null})");

    // With an admin token, the routes that change the Agent or reach the fleet want it.
    ASSERT_EQ(post("/api/agent/set_config", R"({"local_api_admin_token":"adm1n-t0ken"})").body,
              R"({"code":0,"data":null})");
    const std::string upgrade =
        "POST /api/offline_upgrade HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
        "boundary=b\r\nContent-Length: 50000000\r\n";
    for (const std::string token : {"", "Authorization: Bearer wrong\r\n"}) {
        for (const std::string& request : std::vector<std::string>{
                 "POST /api/agent/get_config HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n",
                 "POST /api/agent/set_config HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n",
                 "GET /api/monitoring/devices HTTP/1.1\r\nHost: x\r\n", upgrade}) {
            SCOPED_TRACE(request + token);
            RawClient client;
            client.send(request + token + "\r\n{}");
            const std::string answer = client.receive(3s);
            EXPECT_EQ(statusLine(answer), "HTTP/1.1 401 Unauthorized");
            EXPECT_EQ(bodyOf(answer), kRefused);
        }
    }
    EXPECT_EQ(httpRequest(kAgentPort, "GET", "/api/get_time").status, 200);
    RawClient admin;
    admin.send(
        "POST /api/agent/get_config HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer adm1n-t0ken\r\n"
        "Content-Length: 2\r\n\r\n{}");
    const std::string shown = bodyOf(admin.receive(1s));
    EXPECT_NE(shown.find(R"("local_api_admin_token":"***")"), std::string::npos) << shown;

    // A get_config dump fed back as a config.json keeps the stored secrets too.
    stopAgent();
    const std::string tokenCipher = storedValue("local_api_admin_token");
    startAgent(R"(,"korvane_monitoring_client_secret":"***","local_api_admin_token":"***")");
    EXPECT_EQ(storedValue("korvane_monitoring_client_secret"), secretCipher);
    EXPECT_EQ(storedValue("local_api_admin_token"), tokenCipher);
}

TEST_F(LocalApiSafetyTest, ListensWhereTheOperatorSaysAndOnLoopbackWhenItCannot) {
    // 127.0.0.2 is this machine too, but not the address the API was narrowed to.
    startAgent(R"(,"local_api_address":"127.0.0.1")");
    EXPECT_FALSE(answersOn("127.0.0.2"));
    EXPECT_TRUE(waitUntil(
        [&] {
            return logText().find("Local API listening on 127.0.0.1:5555") != std::string::npos;
        },
        5s));
    stopAgent();

    // An address this machine does not have narrows the API to loopback, never widens it.
    startAgent(R"(,"local_api_address":"192.0.2.1")");
    EXPECT_FALSE(answersOn("127.0.0.2"));
    EXPECT_TRUE(waitUntil(
        [&] {
            return logText().find("cannot listen on 192.0.2.1") != std::string::npos &&
                   logText().find("listening on 127.0.0.1 only") != std::string::npos;
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

TEST_F(LocalApiSafetyTest, LargeUploadPassesThroughAFileWithoutANameNotMemory) {
    startAgent();
    // Spool files are unlinked from the start: only the Agent's descriptors reach them.
    auto spooled = [&] {
        std::size_t count = 0;
        for (const auto& fd : std::filesystem::directory_iterator(
                 "/proc/" + std::to_string(agent_->pid()) + "/fd")) {
            std::error_code error;
            const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
            count += target.starts_with(tmp()) && target.ends_with("(deleted)") ? 1 : 0;
        }
        return count;
    };
    constexpr std::uint64_t kSize = 500ull << 20;
    const long before = statusKb(agent_->pid(), "VmHWM");
    std::size_t namedFiles = 1, spooledMidway = 0;
    std::string thirdUpload;
    const auto start = Clock::now();
    RawClient client;
    const std::string answer = streamUpload(client, kSize, kSize, [&] {
        namedFiles = filesIn(tmp());
        spooledMidway = spooled();
        // A second upload takes the other slot; a third is told to come back.
        RawClient second, third;
        streamUpload(second, 64 << 20, 1 << 20, nullptr);
        waitUntil([&] { return spooled() == 2; }, 5s);
        third.send(
            "POST /api/import_template HTTP/1.1\r\nHost: x\r\nContent-Type: "
            "multipart/form-data; boundary=b\r\nContent-Length: 1000000\r\n\r\n");
        thirdUpload = third.receive(3s);
    });
    const double seconds = secondsSince(start);
    const long after = statusKb(agent_->pid(), "VmHWM");
    std::cout << "500 MiB upload: " << seconds << " s, VmHWM " << before << " -> " << after
              << " kB, VmRSS " << statusKb(agent_->pid(), "VmRSS") << " kB" << std::endl;

    EXPECT_EQ(bodyOf(answer), R"({"code":0,"data":null})") << answer.substr(0, 200);
    EXPECT_LT(after - before, 64 * 1024) << "kB of resident memory grown";
    EXPECT_EQ(namedFiles, 0u);
    EXPECT_EQ(spooledMidway, 1u);
    EXPECT_EQ(statusLine(thirdUpload), "HTTP/1.1 503 Service Unavailable");
    EXPECT_NE(thirdUpload.find("Retry-After: 5\r\n"), std::string::npos) << thirdUpload;
    EXPECT_EQ(bodyOf(thirdUpload), R"({"code":-6210,"data":null})");
    auto log = parseObject(
        httpRequest(camera_.port(), "GET", "/sim/requests?command=offline_upgrade").body);
    auto requests = log->getArray("requests");
    ASSERT_EQ(requests->size(), 1u);
    EXPECT_EQ(
        requests->getObject(0)->getArray("parts")->getObject(0)->getValue<std::uint64_t>("size"),
        kSize);
    EXPECT_TRUE(waitUntil([&] { return spooled() == 0; }, 15s));
    EXPECT_EQ(filesIn(tmp()), 0u);
}

TEST_F(LocalApiSafetyTest, OneHostileHostCannotShutTheApiNorHoldUpShutdown) {
    startAgent();
    const std::string head = "GET /api/get_time HTTP/1.1\r\nHost: x\r\n\r\n";
    RawClient keptAlive;
    keptAlive.send(head);
    const auto answered = Clock::now();  // give or take the few ms the answer takes
    ASSERT_EQ(statusLine(keptAlive.receive(1s)), "HTTP/1.1 200 OK");

    // One host on the store network: 300 connections that declare a 100 kB JSON body and
    // trickle it, a slow upload, and connections that never finish their heads.
    const auto opened = Clock::now();
    std::vector<std::unique_ptr<RawClient>> trickling, slowHeads;
    for (int i = 0; i < 300; ++i) {
        trickling.push_back(std::make_unique<RawClient>("127.0.0.1", "127.0.0.2"));
        trickling.back()->trySend(
            "POST /api/agent/set_data_loop_freq HTTP/1.1\r\nHost: x\r\n"
            "Content-Length: 100000\r\n\r\n{");
    }
    for (int i = 0; i < 10; ++i) {
        slowHeads.push_back(std::make_unique<RawClient>("127.0.0.1", "127.0.0.3"));
        slowHeads.back()->trySend(head.substr(0, 20));
    }
    RawClient slowUpload("127.0.0.1", "127.0.0.4");
    slowUpload.send(
        "POST /api/offline_upgrade HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
        "boundary=b\r\nContent-Length: 100000000\r\n\r\n" +
        std::string(1 << 20, 'x'));
    const double connectSeconds = secondsSince(opened);
    std::atomic<bool> stop = false;
    std::thread trickle([&] {
        while (!stop) {
            for (auto& client : trickling) {
                if (!client->closed()) client->trySend(" ");
            }
            slowUpload.trySend(std::string(64 * 1024, 'x'));  // 64 KiB/s, below the pace
            for (int i = 0; i < 10 && !stop; ++i) std::this_thread::sleep_for(100ms);
        }
    });

    // The point of sale on this machine is answered at once.
    const auto asked = Clock::now();
    const auto info = httpRequest(kAgentPort, "GET", "/api/get_device_info", "", "", 10s);
    const double answerSeconds = secondsSince(asked);
    EXPECT_EQ(info.status, 200);
    EXPECT_LT(answerSeconds, 1.0);

    auto closedCount = [](auto begin, auto end, std::chrono::milliseconds wait) {
        std::size_t closed = 0;
        for (auto it = begin; it != end; ++it) closed += (*it)->closedWithin(wait) ? 1 : 0;
        return closed;
    };
    // Past the host's share of 32, closed as soon as accepted.
    EXPECT_EQ(closedCount(trickling.begin() + 32, trickling.end(), 500ms), 268u);
    // The rest when their bodies or heads are not in 10 s after they began, and not before.
    EXPECT_FALSE(trickling.front()->closedWithin(leftOf(9s, opened)));
    EXPECT_EQ(closedCount(trickling.begin(), trickling.begin() + 32, 3s), 32u);
    EXPECT_EQ(closedCount(slowHeads.begin(), slowHeads.end(), 3s), 10u);
    const double bodySeconds = secondsSince(opened);
    EXPECT_FALSE(keptAlive.closedWithin(leftOf(13s, answered)));
    EXPECT_TRUE(keptAlive.closedWithin(4s));
    // An upload is given its first 10 s, then must bring 2.5 MiB in every 10 s.
    EXPECT_FALSE(slowUpload.closedWithin(leftOf(19s, opened)));
    EXPECT_TRUE(slowUpload.closedWithin(4s));
    const double uploadSeconds = secondsSince(opened);
    stop = true;
    trickle.join();

    // Shutdown waits for none of them.
    std::vector<std::unique_ptr<RawClient>> stillTrickling;
    for (int i = 0; i < 20; ++i) {
        stillTrickling.push_back(std::make_unique<RawClient>("127.0.0.1", "127.0.0.2"));
        stillTrickling.back()->trySend(
            "POST /api/agent/set_config HTTP/1.1\r\nHost: x\r\nContent-Length: 5000\r\n\r\n{");
    }
    RawClient halfUpload("127.0.0.1", "127.0.0.4");
    halfUpload.send(
        "POST /api/import_template HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
        "boundary=b\r\nContent-Length: 100000000\r\n\r\n" +
        std::string(4 << 20, 'x'));
    const auto signalled = Clock::now();
    agent_->signal(SIGTERM);
    // Well within the 4.5 s after which the Agent would stop waiting for its own requests.
    EXPECT_EQ(agent_->waitForExit(4s), std::optional<int>(0)) << agent_->stderrText();
    const double exitSeconds = secondsSince(signalled);
    agent_.reset();
    std::cout << "310 hostile connections and a slow upload opened in " << connectSeconds
              << " s; get_device_info answered in " << answerSeconds
              << " s; trickled bodies and heads closed by " << bodySeconds
              << " s; slow upload closed by " << uploadSeconds << " s; exit after SIGTERM in "
              << exitSeconds << " s" << std::endl;
}

}  // namespace
