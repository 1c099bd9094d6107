// The object storage client against the Node.js S3 simulator over loopback: the simulator
// checks every request's Signature V4, so a request it accepts was signed as a real store
// expects.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "agent_process.h"
#include "http_client.h"
#include "log_capture.h"
#include "s3_client_provider.h"
#include "s3_client_wrapper.h"
#include "s3_sim_process.h"
#include "service_clock.h"
#include "temp_dir.h"

namespace korvane::Engine::Sync {
namespace {

using namespace std::chrono_literals;
using korvane::Testing::httpRequest;
using korvane::Testing::LogCapture;
using korvane::Testing::TempDir;
using korvane::Testing::waitUntil;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kBucket = "pellix-bucket";
constexpr const char* kAccessKey = "AKIASIMULATOR7731";
constexpr const char* kSecretKey = "Sim/Secret+Key=4f9a1c";
using Bytes = std::vector<std::uint8_t>;

Bytes randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

std::string writeBytes(const TempDir& dir, const std::string& name, const Bytes& bytes) {
    const std::string path = dir.file(name);
    korvane::Testing::writeFile(path, std::string(bytes.begin(), bytes.end()));
    return path;
}

class S3ClientTest : public ::testing::Test {
  protected:
    S3ClientProvider provider(const std::string& password = kSecretKey,
                              const std::string& login = kAccessKey) {
        return S3ClientProvider(sim.endpoint() + "/", kBucket, login, password);
    }

    TempDir temp;
    Testing::S3SimProcess sim{
        KORVANE_S3_SIM_SCRIPT, temp.path().string(), {kBucket, kAccessKey, kSecretKey}};
};

TEST(S3ClientUrl, StripsTrailingDotsAndSlashesAndNeverEncodes) {
    struct Case {
        std::string endpoint, bucket, key, url;
    } cases[] = {
        {"http://store:9000/", "b", "x/y.zip", "http://store:9000/b/x/y.zip"},
        {"http://store:9000/./..//", "b", "k", "http://store:9000/b/k"},
        {"https://store.example.", "b", "k", "https://store.example/b/k"},
        {"store.example", "media", "a b+c/фото.jpg", "store.example/media/a b+c/фото.jpg"},
    };
    for (const auto& c : cases) {
        S3ClientWrapper wrapper(c.endpoint, c.bucket, "login", "password");
        EXPECT_EQ(wrapper.GetObjectUrl(c.key), c.url) << c.endpoint;
    }
}

TEST_F(S3ClientTest, UploadsAndDownloadsObjectsByteForByte) {
    const std::map<std::string, std::size_t> objects = {
        {"KorvaneMonitoring/Images/recognition_1.jpg", 4096},
        {"dir with space/a+b=c&d;e.bin", 33},
        {"фото/Zürich ☃.bin", 7},
        {"big/backup.zip", 3 * 1024 * 1024 + 17},
        {"empty.txt", 0},
    };
    auto s3 = provider();
    unsigned seed = 1;
    for (const auto& [key, size] : objects) {
        const Bytes bytes = randomBytes(size, seed++);
        const std::string path = writeBytes(temp, "upload" + std::to_string(seed), bytes);
        std::string url;
        ASSERT_TRUE(s3.uploadFile(path, key, url, false)) << key;
        EXPECT_EQ(url, sim.endpoint() + "/" + kBucket + "/" + key);
        EXPECT_TRUE(std::filesystem::exists(path));
        if (size > 0) {
            EXPECT_TRUE(s3.downloadFile(key) == bytes) << key;
        }
    }
    // The store holds the keys exactly as given, so the path encoding is not merely symmetric.
    std::map<std::string, std::int64_t> expected;
    for (const auto& [key, size] : objects) expected[key] = static_cast<std::int64_t>(size);
    EXPECT_EQ(sim.objects(), expected);
    EXPECT_EQ(sim.stat("rejectedSignatures"), 0);
}

TEST_F(S3ClientTest, UnopenableLocalFileFailsBothAttemptsWithoutPause) {
    auto s3 = provider();
    std::filesystem::create_directory(temp.file("folder"));
    for (const std::string& path : {temp.file("missing.jpg"), temp.file("folder")}) {
        LogCapture log;
        std::string url = "unchanged";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(s3.uploadFile(path, "k/1.jpg", url, true));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);
        EXPECT_EQ(url, "unchanged");
        const std::string text = log.text();
        EXPECT_THAT(
            text, HasSubstr("S3 PutObject failed: bucket=pellix-bucket, key=k/1.jpg, path=" + path +
                            "\n"));
        EXPECT_THAT(text, HasSubstr("Attempt 1: can't upload file in S3 (key=k/1.jpg);"));
        EXPECT_THAT(text, HasSubstr("Attempt 2: can't upload file in S3 (key=k/1.jpg);"));
        EXPECT_THAT(text, HasSubstr("uploadFile: all 2 attempts out, object key=k/1.jpg;"));
    }
    EXPECT_EQ(sim.stat("requests"), 0);
}

TEST_F(S3ClientTest, LocalFileIsDeletedOnlyAfterSuccessWhenAsked) {
    auto s3 = provider();
    const Bytes bytes = randomBytes(1000, 7);
    std::string url;

    const std::string kept = writeBytes(temp, "kept.jpg", bytes);
    ASSERT_TRUE(s3.uploadFile(kept, "kept.jpg", url, false));
    EXPECT_TRUE(std::filesystem::exists(kept));

    const std::string removed = writeBytes(temp, "removed.jpg", bytes);
    ASSERT_TRUE(s3.uploadFile(removed, "removed.jpg", url, true));
    EXPECT_FALSE(std::filesystem::exists(removed));
    EXPECT_TRUE(s3.downloadFile("removed.jpg") == bytes);

    // Both attempts refused: the only copy stays on disk.
    sim.fault(R"({"status":503,"code":"SlowDown","count":2})");
    const std::string refused = writeBytes(temp, "refused.jpg", bytes);
    LogCapture log;
    EXPECT_FALSE(s3.uploadFile(refused, "refused.jpg", url, true));
    EXPECT_TRUE(std::filesystem::exists(refused));
    EXPECT_THAT(log.text(), HasSubstr("PutObject failed: SlowDown - Scripted fault"));
}

TEST_F(S3ClientTest, SecondAttemptRecoversFromOneRefusal) {
    auto s3 = provider();
    sim.fault(R"({"status":500,"count":1})");
    const std::string path = writeBytes(temp, "a.bin", randomBytes(100, 3));
    LogCapture log;
    std::string url;
    EXPECT_TRUE(s3.uploadFile(path, "a.bin", url, false));
    EXPECT_THAT(log.text(), HasSubstr("Attempt 1: can't upload file in S3 (key=a.bin);"));
    EXPECT_THAT(log.text(), Not(HasSubstr("Attempt 2")));
    EXPECT_EQ(sim.stat("requests"), 2);
    EXPECT_EQ(sim.objects().count("a.bin"), 1u);
}

TEST_F(S3ClientTest, FailedDeletionStillReportsSuccess) {
    auto s3 = provider();
    const std::string path = writeBytes(temp, "vanishing.jpg", randomBytes(5000, 11));
    // The store holds its answer back while the file disappears under the uploader.
    sim.fault(R"({"delayMs":1500,"count":1})");
    LogCapture log;
    std::string url;
    auto upload =
        std::async(std::launch::async, [&] { return s3.uploadFile(path, "v.jpg", url, true); });
    ASSERT_TRUE(waitUntil([&] { return sim.stat("requests") >= 1; }, 5s));
    std::filesystem::remove(path);
    EXPECT_TRUE(upload.get());
    EXPECT_THAT(log.text(), HasSubstr("Can't delete local file: " + path + ";"));
    EXPECT_EQ(sim.objects().at("v.jpg"), 5000);
}

TEST_F(S3ClientTest, WrongCredentialsAreRejectedByTheStore) {
    const std::string path = writeBytes(temp, "a.bin", randomBytes(64, 5));
    struct Case {
        std::string login, password, code;
    } cases[] = {
        {kAccessKey, "Wrong/Secret", "SignatureDoesNotMatch"},
        {"AKIAUNKNOWN0000", kSecretKey, "InvalidAccessKeyId"},
    };
    std::int64_t rejected = 0;
    for (const auto& c : cases) {
        auto s3 = provider(c.password, c.login);
        LogCapture log;
        std::string url;
        EXPECT_FALSE(s3.uploadFile(path, "a.bin", url, true)) << c.code;
        EXPECT_TRUE(std::filesystem::exists(path));
        EXPECT_TRUE(s3.downloadFile("a.bin").empty());
        EXPECT_THAT(log.text(), HasSubstr("PutObject failed: " + c.code + " - "));
        EXPECT_THAT(log.text(), HasSubstr("GetObjectData failed: " + c.code + " - "));
        rejected += 3;
        EXPECT_EQ(sim.stat("rejectedSignatures"), rejected) << c.code;
    }
    EXPECT_TRUE(sim.objects().empty());
}

TEST_F(S3ClientTest, DownloadFailuresYieldAnEmptyVectorAndALogLine) {
    auto s3 = provider();
    struct Case {
        std::string fault, line;
    } cases[] = {
        {"", "GetObjectData failed: NoSuchKey - The specified key does not exist.\n"},
        {R"({"status":503,"code":"SlowDown"})",
         "GetObjectData failed: SlowDown - Scripted fault\n"},
        {R"({"down":true,"count":1})", "GetObjectData failed: Server returned nothing"},
    };
    for (const auto& c : cases) {
        if (!c.fault.empty()) sim.fault(c.fault);
        LogCapture log;
        EXPECT_TRUE(s3.downloadFile("no/such.jpg").empty());
        EXPECT_THAT(log.text(), HasSubstr(c.line));
    }
}

TEST_F(S3ClientTest, UnreachableStoreFailsBothAttemptsOrIsLeftAloneForTheBackoff) {
    const std::string path = writeBytes(temp, "a.bin", randomBytes(2 * 1024 * 1024, 9));
    std::string url;
    sim.fault(R"({"down":true})");
    {
        auto s3 = provider();
        EXPECT_FALSE(s3.uploadFile(path, "a.bin", url, true));
        EXPECT_EQ(sim.stat("requests"), 2);
    }
    {
        // Without the backoff these would have been 200 requests.
        S3ClientProvider gated(sim.endpoint(), kBucket, kAccessKey, kSecretKey, 30s);
        LogCapture log;
        for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(10ms)) {
            EXPECT_FALSE(gated.uploadFile(path, "a.bin", url, true));
        }
        EXPECT_LE(sim.stat("requests"), 2 + 8);
        EXPECT_THAT(log.text(), HasSubstr("Upload of a.bin not tried: the object store failed"));
    }
    S3ClientProvider nobody("http://127.0.0.1:" + std::to_string(Testing::closedPort()), kBucket,
                            kAccessKey, kSecretKey);
    EXPECT_FALSE(nobody.uploadFile(path, "a.bin", url, true));
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(S3ClientTest, EachEndpointAndRouteFailureNamesItsCauseOnceAMinute) {
    const std::string hostPort = "127.0.0.1:" + std::to_string(sim.port());
    const std::string closed = "127.0.0.1:" + std::to_string(Testing::closedPort());
    struct Case {
        std::string endpoint, proxy, line;
        std::int64_t requests;
    } cases[] = {
        // Without a scheme it is TLS; a handshake is no HTTP request, so nothing went out in
        // plain text.
        {hostPort, "", "GetObjectData failed: SSL connect error - object store " + hostPort, 0},
        {"HTTP://" + hostPort + "/./", "", "GetObjectData failed: NoSuchKey - ", 2},
        {"http://" + closed, "",
         "GetObjectData failed: Couldn't connect to server - object store " + closed +
             " refused the connection",
         0},
        {"http://" + hostPort, "http://" + closed,
         "GetObjectData failed: Couldn't connect to server - proxy " + closed +
             " refused the connection",
         0},
        {"http://" + hostPort, "socks5://user:Pr0xyPass@" + closed,
         "GetObjectData failed: InvalidProxy - the object store " + hostPort +
             " was not contacted: network_proxy is not a proxy address",
         0},
    };
    for (const auto& c : cases) {
        sim.control("POST", "reset");
        S3ClientProvider s3(c.endpoint, kBucket, kAccessKey, kSecretKey, 0s, {c.proxy, ""});
        LogCapture log;
        EXPECT_TRUE(s3.downloadFile("k").empty());
        EXPECT_TRUE(s3.downloadFile("k").empty());
        const std::string text = log.text();
        EXPECT_THAT(text, HasSubstr(c.line));
        // The repeat within the minute is held back.
        EXPECT_EQ(text.find("GetObjectData failed"), text.rfind("GetObjectData failed")) << text;
        EXPECT_THAT(text, Not(HasSubstr("Pr0xyPass")));
        EXPECT_EQ(sim.stat("requests"), c.requests) << c.endpoint;
    }
}

TEST_F(S3ClientTest, SkewedClockIsCorrectedByTheStoresAnswerAndTheFileSentAgainWhole) {
    struct ClockReset {
        ~ClockReset() { ServiceClock::instance().reset(); }
    } resetAfter;
    ServiceClock::instance().noteServiceTime(std::chrono::system_clock::now() + 2h);
    auto s3 = provider();
    const Bytes bytes = randomBytes(300'000, 21);
    const std::string path = writeBytes(temp, "skew.bin", bytes);
    LogCapture log;
    std::string url;
    EXPECT_TRUE(s3.uploadFile(path, "skew.bin", url, false));
    EXPECT_LT(std::chrono::abs(ServiceClock::instance().offset()), 5s);
    EXPECT_EQ(sim.stat("skewRefusals"), 1);
    EXPECT_EQ(sim.stat("requests"), 2);
    // Sent again from the start of the file, not from where the refused request left it.
    EXPECT_TRUE(sim.object("skew.bin") == std::string(bytes.begin(), bytes.end()));
    EXPECT_THAT(log.text(), Not(HasSubstr("Attempt 1")));
}

TEST_F(S3ClientTest, CredentialsNeverReachTheLog) {
    LogCapture log;
    {
        auto s3 = provider();
        std::string url;
        const std::string path = writeBytes(temp, "a.bin", randomBytes(10, 1));
        EXPECT_TRUE(s3.uploadFile(path, "a.bin", url, true));
        EXPECT_FALSE(s3.uploadFile(path, "a.bin", url, true));
        EXPECT_TRUE(s3.downloadFile("missing").empty());
        auto wrong = provider(std::string(kSecretKey) + "x");
        EXPECT_TRUE(wrong.downloadFile("a.bin").empty());
    }
    const std::string text = log.text();
    EXPECT_THAT(text, HasSubstr("Succesful initialized S3 with parameters: endpoint=" +
                                sim.endpoint() + "/, bucket=pellix-bucket\n"));
    EXPECT_THAT(text, HasSubstr("Success download file in S3. URL: " + sim.endpoint() +
                                "/pellix-bucket/a.bin;"));
    EXPECT_THAT(text, Not(HasSubstr(kSecretKey)));
    EXPECT_THAT(text, Not(HasSubstr(kAccessKey)));
}

TEST_F(S3ClientTest, OneProviderServesTwoThreadsAtOnce) {
    auto s3 = provider();
    auto worker = [&](int thread) {
        int good = 0;
        for (int i = 0; i < 6; ++i) {
            const Bytes bytes = randomBytes(50'000 + i, static_cast<unsigned>(thread * 100 + i));
            const std::string name = "t" + std::to_string(thread) + "_" + std::to_string(i);
            const std::string path = writeBytes(temp, name, bytes);
            std::string url;
            if (s3.uploadFile(path, name, url, true) && s3.downloadFile(name) == bytes) ++good;
        }
        return good;
    };
    auto first = std::async(std::launch::async, worker, 1);
    auto second = std::async(std::launch::async, worker, 2);
    EXPECT_EQ(first.get(), 6);
    EXPECT_EQ(second.get(), 6);
    EXPECT_EQ(sim.objects().size(), 12u);
}

}  // namespace
}  // namespace korvane::Engine::Sync
