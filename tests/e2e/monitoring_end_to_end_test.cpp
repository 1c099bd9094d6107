// The whole Agent through the real binary against the three simulators: the camera, the
// monitoring service and the object store. Recognitions travel with their images, and remote
// tasks of every type come back with their answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/json.hpp>
#include <filesystem>

#include "agent_process.h"
#include "camera_simulator.h"
#include "http_client.h"
#include "monitoring_simulator.h"
#include "prometheus_process.h"
#include "s3_client_provider.h"
#include "s3_sim_process.h"
#include "temp_dir.h"

using namespace korvane::Testing;
using namespace std::chrono_literals;
using korvane::CameraSim::CameraSimulator;
using korvane::MonitoringSim::MonitoringSimulator;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
namespace Routes = korvane::MonitoringSim::Routes;

namespace {

constexpr auto kDeadline = 30s;
const std::string kKeyPrefix = "KorvaneMonitoring/RecognitionModules/korvane_pellix_module/D1/";

class MonitoringEndToEndTest : public ::testing::Test {
  protected:
    MonitoringEndToEndTest()
        : camera_(cameraOptions()), s3_(KORVANE_S3_SIM_SCRIPT, s3Dir_.path().string()) {}

    static CameraSimulator::Options cameraOptions() {
        CameraSimulator::Options o;
        o.jobStepMs = 40;
        return o;
    }

    void SetUp() override {
        camera_.start();
        monitoring_.start();
        startAgent(monitoring_.port());
    }

    void TearDown() override {
        stopAgent();
        monitoring_.stop();
        camera_.stop();
    }

    boost::json::object configuration(std::uint16_t monitoringPort) const {
        const auto& s3 = s3_.credentials();
        return {{"device_ip", "127.0.0.1"},
                {"device_port", std::to_string(camera_.port())},
                {"monitoring_service_address", "http://127.0.0.1"},
                {"monitoring_service_port", std::to_string(monitoringPort)},
                {"korvane_monitoring_client_secret", "sim-secret"},
                {"korvane_monitoring_device_id", "D1"},
                {"monitoring_getting_tasks", true},
                {"monitoring_request_frequency", 300},
                // The outages here are short; a short backoff keeps recovery within the
                // deadlines (the backoff's own test sets its own).
                {"monitoring_backoff_max_s", 2},
                {"recognition_image_sending_enable", true},
                {"file_storage_service_address", s3_.endpoint()},
                {"file_storage_service_bucket", s3.bucket},
                {"file_storage_service_login", s3.accessKey},
                {"file_storage_service_password", s3.secretKey}};
    }

    // Starts the binary; with a monitoring port it first leaves a config.json for it to import.
    void startAgent(std::optional<std::uint16_t> monitoringPort) {
        std::optional<boost::json::object> settings;
        if (monitoringPort) {
            settings = configuration(*monitoringPort);
            for (const auto& [key, value] : extraSettings_) (*settings)[key] = value;
        }
        agent_ = launchAgent(KORVANE_AGENT_BINARY, home_.path().string(),
                             settings ? &*settings : nullptr, {}, output_.path().string());
        ASSERT_TRUE(waitUntil(agentAnswers, 15s)) << agent_->stderrText();
    }

    void stopAgent() { stopAgentProcess(agent_); }

    // The Agent's log of today, for checks on what it wrote.
    std::string agentLog() const { return agentLogText(home_.path().string()); }

    std::filesystem::path imagesDir() const {
        return home_.path() / "Documents/KORVANE/PellixAgent/images";
    }

    // One weighing confirmed by the cashier; returns its session id.
    std::string weigh() {
        const std::string sid = confirmWeighing();
        // The image is saved after the answer: wait for it so the loop finds it.
        EXPECT_TRUE(waitUntil(
            [&] {
                if (std::filesystem::exists(imagesDir() / (sid + ".jpg"))) return true;
                for (const auto& message : monitoring_.recognitions()) {
                    if (message.body.at("recognition_session").as_string() == sid) return true;
                }
                return false;
            },
            5s));
        return sid;
    }

    std::vector<MonitoringSimulator::DeviceMessage> deliveredRecognitions() {
        std::vector<MonitoringSimulator::DeviceMessage> delivered;
        for (auto& message : monitoring_.recognitions()) {
            if (message.status == 200) delivered.push_back(std::move(message));
        }
        return delivered;
    }

    // Queues a task and waits for the Agent's answer to it.
    MonitoringSimulator::TaskAnswer runTask(const std::string& type, boost::json::object data) {
        const std::string id = monitoring_.queueTask({"", type, std::move(data)});
        MonitoringSimulator::TaskAnswer found;
        const bool answered = waitUntil(
            [&] {
                for (const auto& answer : monitoring_.taskAnswers()) {
                    if (answer.taskId == id) {
                        found = answer;
                        return true;
                    }
                }
                return false;
            },
            kDeadline);
        EXPECT_TRUE(answered) << type;
        return found;
    }

    // Stores an object in the store through the Agent's own client, as the service would.
    void putObject(const std::string& key, const std::string& content) {
        const std::string path = output_.file("upload.tmp");
        writeFile(path, content);
        const auto& s3 = s3_.credentials();
        korvane::Engine::Sync::S3ClientProvider client(s3_.endpoint(), s3.bucket, s3.accessKey,
                                                       s3.secretKey);
        std::string url;
        ASSERT_TRUE(client.uploadFile(path, key, url, true));
    }

    // Settings a test adds to configuration() before (re)starting the Agent.
    boost::json::object extraSettings_;
    TempDir home_;
    TempDir output_;
    TempDir s3Dir_;
    CameraSimulator camera_;
    MonitoringSimulator monitoring_;
    S3SimProcess s3_;
    std::unique_ptr<ChildProcess> agent_;
};

TEST_F(MonitoringEndToEndTest, RecognitionsTravelWithTheirImagesOnceAndInOrder) {
    std::vector<std::string> sids;
    for (int i = 0; i < 3; ++i) sids.push_back(weigh());
    ASSERT_TRUE(waitUntil([&] { return deliveredRecognitions().size() == 3; }, kDeadline));
    const auto delivered = deliveredRecognitions();
    const auto objects = s3_.objects();
    for (std::size_t i = 0; i < sids.size(); ++i) {
        const auto& body = delivered[i].body;
        EXPECT_EQ(body.at("recognition_session").as_string(), sids[i]);
        const std::string key = kKeyPrefix + "Images/recognition_D1_" + sids[i] + ".jpg";
        EXPECT_EQ(body.at("recognition_image_url").as_string(),
                  s3_.endpoint() + "/" + s3_.credentials().bucket + "/" + key);
        ASSERT_TRUE(objects.contains(key)) << key;
        EXPECT_GT(objects.at(key), 0);
        // The local copy goes once the store holds it.
        EXPECT_FALSE(std::filesystem::exists(imagesDir() / (sids[i] + ".jpg")));
    }
    EXPECT_EQ(s3_.stat("rejectedSignatures"), 0);
    const auto info =
        boost::json::parse(httpRequest(kAgentPort, "GET", "/api/agent/get_info").body);
    EXPECT_EQ(info.at("data").at("non_send_recognition_count").as_int64(), 0);
}

TEST_F(MonitoringEndToEndTest, StoreDownSendsTheRecognitionWithoutImage) {
    s3_.fault(R"({"down":true})");
    const std::string sid = weigh();
    ASSERT_TRUE(waitUntil([&] { return deliveredRecognitions().size() == 1; }, kDeadline));
    const auto body = deliveredRecognitions().front().body;
    EXPECT_EQ(body.at("recognition_session").as_string(), sid);
    EXPECT_EQ(body.at("recognition_image_url").as_string(), "");
    EXPECT_THAT(agentLog(), HasSubstr("Failed to load to S3 (after 2 attempts)"));
}

TEST_F(MonitoringEndToEndTest, ImageBudgetDropsTheOldestPicturesAndTheirEntriesGoWithout) {
    constexpr std::uintmax_t kBudget = 1024 * 1024;
    stopAgent();
    extraSettings_["images_max_mb"] = 1;
    ASSERT_NO_FATAL_FAILURE(startAgent(monitoring_.port()));
    monitoring_.setDown(true);
    const std::vector<std::string> old{weigh(), weigh()};

    // A picture from elsewhere leaves room for one more weighing's picture, not for three.
    // The clean-up leaves 90% of the budget, so that picture (the next oldest) goes as well.
    const std::uintmax_t picture = httpRequest(camera_.port(), "GET", "/api/get_image").body.size();
    ASSERT_GT(picture, 0u);
    stopAgent();
    writeFile((imagesDir() / "bulk.jpg").string(),
              std::string(kBudget - picture - picture / 2, 'j'));
    ASSERT_NO_FATAL_FAILURE(startAgent(monitoring_.port()));
    const std::string fresh = weigh();

    std::uintmax_t kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(imagesDir())) {
        kept += entry.file_size();
    }
    EXPECT_LE(kept, kBudget - kBudget / 10);
    for (const auto& sid : old) EXPECT_FALSE(std::filesystem::exists(imagesDir() / (sid + ".jpg")));
    EXPECT_TRUE(std::filesystem::exists(imagesDir() / (fresh + ".jpg")));
    EXPECT_FALSE(std::filesystem::exists(imagesDir() / "bulk.jpg"));
    const std::string log = agentLog();
    const std::string warning = "exceeded its budget of 1 MB: removed the 3 oldest images";
    EXPECT_THAT(log, HasSubstr(warning));
    EXPECT_EQ(log.find(warning), log.rfind(warning)) << "one warning per clean-up";

    // Oldest first; the entries whose picture was removed go out without one.
    monitoring_.setDown(false);
    ASSERT_TRUE(waitUntil([&] { return deliveredRecognitions().size() == 3; }, kDeadline));
    const auto delivered = deliveredRecognitions();
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(delivered[i].body.at("recognition_session").as_string(), old[i]);
        EXPECT_EQ(delivered[i].body.at("recognition_image_url").as_string(), "");
    }
    EXPECT_EQ(delivered[2].body.at("recognition_session").as_string(), fresh);
    EXPECT_NE(delivered[2].body.at("recognition_image_url").as_string(), "");
}

TEST_F(MonitoringEndToEndTest, MonitoringDownForAWhileLosesNothing) {
    monitoring_.setDown(true);
    std::vector<std::string> sids;
    for (int i = 0; i < 3; ++i) sids.push_back(weigh());
    std::this_thread::sleep_for(3s);
    EXPECT_TRUE(deliveredRecognitions().empty());
    monitoring_.setDown(false);
    ASSERT_TRUE(waitUntil([&] { return deliveredRecognitions().size() == 3; }, kDeadline));
    const auto delivered = deliveredRecognitions();
    for (std::size_t i = 0; i < sids.size(); ++i) {
        EXPECT_EQ(delivered[i].body.at("recognition_session").as_string(), sids[i]);
    }
}

TEST_F(MonitoringEndToEndTest, PrometheusScrapesTheQueueFillingAndDraining) {
    const std::string token = "scrape-t0ken";
    const std::string rules =
        std::string(KORVANE_SOURCE_DIR) + "/packaging/prometheus/pellix-alerts.yml";
    stopAgent();
    extraSettings_["local_api_admin_token"] = token;
    ASSERT_NO_FATAL_FAILURE(startAgent(monitoring_.port()));
    EXPECT_EQ(httpRequest(kAgentPort, "GET", "/metrics").status, 401);
    const auto health = httpRequest(kAgentPort, "GET", "/healthz");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body,
              R"({"code":0,"data":{"database":"ok","monitoring":"ok","workers":"ok"}})");

    TempDir prometheusDir;
    PrometheusProcess prometheus(prometheusDir.path().string(),
                                 "127.0.0.1:" + std::to_string(kAgentPort), token, rules);
    const auto settles = [&](const std::string& expression, double expected) {
        const bool reached =
            waitUntil([&] { return prometheus.query(expression) == expected; }, kDeadline, 250ms);
        EXPECT_TRUE(reached) << expression << " = " << prometheus.query(expression).value_or(-1);
    };
    settles("up", 1);

    monitoring_.setDown(true);
    for (int i = 0; i < 3; ++i) weigh();
    settles(R"(pellix_queue_depth{queue="recognition"})", 3);
    settles(R"(pellix_local_api_requests_total{route="result_feedback",code="200"})", 3);
    settles(R"(pellix_camera_requests_total{operation="get_result",outcome="ok"})", 3);
    settles(R"(pellix_queue_oldest_age_seconds{queue="recognition"} > 0)", 1);
    monitoring_.setDown(false);
    settles(R"(pellix_queue_depth{queue="recognition"})", 0);
    settles(R"(pellix_monitoring_deliveries_total{kind="recognition",outcome="ok"})", 3);
    // One upload per image at least; a slow store may make one fail and go again.
    settles(R"(sum(pellix_object_store_uploads_total) >= bool 3)", 1);
    // The service dropped every connection while down: a delivery or a token renewal saw it.
    settles(R"(count({__name__=~"pellix_(monitoring_deliveries|token_requests)_total",)"
            R"(outcome="unreachable"}) > bool 0)",
            1);

    // What the scrape read passes the format's own checker, and so do the shipped rules.
    const std::string exposition = prometheusDir.file("metrics.txt");
    writeFile(exposition, httpRequest(kAgentPort, "GET", "/metrics", "", "", 10s,
                                      {{"Authorization", "Bearer " + token}})
                              .body);
    for (const std::string& arguments : {"check metrics < " + exposition, "check rules " + rules}) {
        const auto checked = runPromtool(arguments);
        EXPECT_TRUE(checked.passed) << arguments << ": " << checked.output;
    }
}

TEST_F(MonitoringEndToEndTest, AFailingServiceIsLeftAloneForTheBackoffOrItsRetryAfter) {
    stopAgent();
    extraSettings_["monitoring_backoff_max_s"] = 8;
    ASSERT_NO_FATAL_FAILURE(startAgent(monitoring_.port()));
    ASSERT_TRUE(monitoring_.waitForRequests("*", Routes::kAny, 1, 10s));
    const auto failWith = [&](std::vector<std::pair<std::string, std::string>> headers) {
        MonitoringSimulator::Answer unavailable{503, R"({"code":"UNAVAILABLE"})"};
        unavailable.headers = std::move(headers);
        monitoring_.setSticky("*", Routes::kAny, unavailable);
        monitoring_.clearRecords();
    };
    // The times at which the service was contacted over a stretch.
    const auto contactsDuring = [&](std::chrono::seconds stretch) {
        std::vector<std::chrono::steady_clock::time_point> at;
        const auto end = std::chrono::steady_clock::now() + stretch;
        for (std::size_t seen = 0; std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(20ms)) {
            for (; seen < monitoring_.requestCount("*", Routes::kAny); ++seen) {
                at.push_back(std::chrono::steady_clock::now());
            }
        }
        return at;
    };

    // A fixed one-second pause would have made about 20 contacts.
    failWith({});
    EXPECT_LE(contactsDuring(20s).size(), 12u);

    failWith({{"Retry-After", "6"}});
    const auto contacts = contactsDuring(15s);
    ASSERT_GE(contacts.size(), 2u);
    for (std::size_t i = 1; i < contacts.size(); ++i) {
        EXPECT_GE(contacts[i] - contacts[i - 1], 5500ms) << "contact " << i;
    }

    monitoring_.clearScripts();
    const std::string sid = weigh();
    ASSERT_TRUE(waitUntil([&] { return deliveredRecognitions().size() == 1; }, 15s));
    EXPECT_EQ(deliveredRecognitions().front().body.at("recognition_session").as_string(), sid);
}

TEST_F(MonitoringEndToEndTest, ATokenTheServiceForgotIsRenewedAtOnce) {
    ASSERT_TRUE(monitoring_.waitForRequests("POST", Routes::kToken, 1, 10s));
    monitoring_.expireTokens(true);
    monitoring_.clearRecords();
    for (int i = 0; i < 3; ++i) weigh();
    ASSERT_TRUE(waitUntil([&] { return deliveredRecognitions().size() == 3; }, 10s));
    // A refused refresh token, then the client credentials.
    EXPECT_LE(monitoring_.requestCount("POST", Routes::kToken), 2u);
}

TEST_F(MonitoringEndToEndTest, APoisonEntryIsSetAsideWholeAndRequeuedAtTheHead) {
    const auto deadLetters = [] {
        const auto info =
            boost::json::parse(httpRequest(kAgentPort, "GET", "/api/agent/get_info").body);
        return info.at("data").at("dead_letter_count").as_int64();
    };
    monitoring_.setSticky("POST", Routes::kRecognition, {422, R"({"code":"BAD_PRODUCT"})"});
    const std::string poison = weigh();
    ASSERT_TRUE(waitUntil([&] { return deadLetters() == 1; }, kDeadline));
    EXPECT_EQ(monitoring_.requestCount("POST", Routes::kRecognition), 5u);
    const boost::json::value refused = monitoring_.recognitions().back().body;
    EXPECT_THAT(agentLog(), HasSubstr("set aside as a dead letter: the service refused it 5 "
                                      "passes in a row, last with 422 {\"code\":\"BAD_PRODUCT\"}"));

    // The queue goes on; 5xx answers on the way never count.
    monitoring_.clearScripts();
    monitoring_.script("POST", Routes::kRecognition, {503, "{}"});
    const std::string next = weigh();
    ASSERT_TRUE(waitUntil([&] { return deliveredRecognitions().size() == 1; }, kDeadline));
    EXPECT_EQ(deliveredRecognitions().front().body.at("recognition_session").as_string(), next);

    // Back at the head of the queue, with the image it had uploaded.
    monitoring_.setDown(true);
    const std::string later = weigh();
    const auto requeued = httpRequest(kAgentPort, "POST", "/api/agent/requeue_dead_letters");
    EXPECT_EQ(requeued.body, R"({"code":0,"data":{"requeued":1}})");
    EXPECT_EQ(deadLetters(), 0);
    monitoring_.setDown(false);
    ASSERT_TRUE(waitUntil([&] { return deliveredRecognitions().size() == 3; }, kDeadline));
    const auto delivered = deliveredRecognitions();
    // Whole: the same message, image and candidates included, as the service refused.
    EXPECT_EQ(delivered[1].body, refused);
    EXPECT_EQ(refused.at("recognition_session").as_string(), poison);
    EXPECT_NE(refused.at("recognition_image_url").as_string(), "");
    EXPECT_EQ(delivered[2].body.at("recognition_session").as_string(), later);
}

TEST_F(MonitoringEndToEndTest, TasksOfEveryTypeAreAnswered) {
    // Camera commands.
    auto answer =
        runTask("exec_command",
                {{"kind", "camera"}, {"cmd", "get_device_info"}, {"args", boost::json::object{}}});
    EXPECT_EQ(answer.action, "confirm");
    EXPECT_EQ(answer.body.at("value").at("code").as_int64(), 0);
    answer =
        runTask("exec_command",
                {{"kind", "camera"}, {"cmd", "self_destruct"}, {"args", boost::json::object{}}});
    EXPECT_EQ(answer.action, "reject");
    EXPECT_EQ(answer.body.at("description").as_string(), "Неизвестная команда: exec_command");
    answer = runTask("exec_command",
                     {{"kind", "camera"}, {"cmd", "get_image"}, {"args", boost::json::object{}}});
    EXPECT_EQ(answer.action, "confirm");
    EXPECT_THAT(std::string(answer.body.at("url").as_string()),
                HasSubstr(kKeyPrefix + "Images/screen_D1_"));

    // Files to the store.
    answer = runTask("download_log_file", {});
    EXPECT_EQ(answer.action, "confirm");
    EXPECT_THAT(std::string(answer.body.at("url").as_string()), HasSubstr("Logs/log_D1_"));
    answer = runTask("download_config_file", {{"reason", "audit"}});
    EXPECT_EQ(answer.action, "confirm");
    EXPECT_THAT(std::string(answer.body.at("url").as_string()), HasSubstr("Configs/config_D1_"));
    answer = runTask(
        "download_recognition_backup_file",
        {{"recognitionType", "all"}, {"extension", "evo"}, {"productCodes", boost::json::array{}}});
    EXPECT_EQ(answer.action, "confirm");
    const std::string backupUrl(answer.body.at("url").as_string());
    EXPECT_THAT(backupUrl, HasSubstr("Backups/backup_D1_"));

    // Files from the store: the backup just made goes back onto the camera.
    const std::string backupKey = backupUrl.substr(backupUrl.find("KorvaneMonitoring/"));
    answer = runTask("upload_recognition_backup_file",
                     {{"exportType", "s3"}, {"recognitionType", "all"}, {"filePath", backupKey}});
    EXPECT_EQ(answer.action, "confirm") << boost::json::serialize(answer.body);
    answer = runTask("upload_update_file", {{"exportType", "s3"}, {"filePath", "missing.bin"}});
    EXPECT_EQ(answer.action, "error");
    EXPECT_EQ(answer.body.at("description").as_string(),
              "Файл не существует: неправильный путь к файлу или нет подключения к сети "
              "Интернет");
    answer = runTask("upload_config_file", {{"exportType", "ftp"}, {"filePath", "c.json"}});
    EXPECT_EQ(answer.action, "error");
    EXPECT_EQ(answer.body.at("error").as_string(), "Обработанное исключение");
    EXPECT_EQ(answer.body.at("description").as_string(),
              "Неподдерживаемый тип файлового хранилища");

    // Source mode, and an unknown task type.
    answer = runTask("set_source_mode",
                     {{"enabled", false}, {"templateThreshold", 8}, {"pollingInterval", 90}});
    EXPECT_EQ(answer.action, "confirm");
    const auto info =
        boost::json::parse(httpRequest(kAgentPort, "GET", "/api/agent/get_info").body);
    EXPECT_EQ(info.at("data").at("source_mode_polling_interval_sec").as_int64(), 90);
    EXPECT_EQ(info.at("data").at("source_mode_template_threshold").as_int64(), 8);
    answer = runTask("reboot_all", {});
    EXPECT_EQ(answer.action, "reject");
    EXPECT_EQ(answer.body.at("description").as_string(), "Неизвестная задача: reboot_all");

    // What the Agent stored in the store arrived intact and the secrets stayed out of the log.
    const auto objects = s3_.objects();
    EXPECT_GE(objects.size(), 4u);
    EXPECT_EQ(s3_.stat("rejectedSignatures"), 0);
    const std::string log = agentLog();
    EXPECT_THAT(log, Not(HasSubstr("sim-secret")));
    EXPECT_THAT(log, Not(HasSubstr(s3_.credentials().secretKey)));
}

TEST_F(MonitoringEndToEndTest, CameraDownDuringAHardwareTaskAnswersWithTheCode) {
    camera_.stop();
    const auto answer = runTask(
        "exec_command", {{"kind", "camera"}, {"cmd", "reboot"}, {"args", boost::json::object{}}});
    EXPECT_EQ(answer.action, "error");
    EXPECT_EQ(answer.body.at("error").as_string(), "-6103");
    EXPECT_THAT(std::string(answer.body.at("description").as_string()),
                StartsWith("Ошибка при выполнении команды. "));
}

TEST_F(MonitoringEndToEndTest, ConfigUploadTaskMovesTheAgentToANewService) {
    MonitoringSimulator next;
    next.start();
    putObject("configs/new.json", boost::json::serialize(boost::json::object{
                                      {"monitoring_service_port", std::to_string(next.port())}}));
    const auto answer =
        runTask("upload_config_file", {{"exportType", "s3"}, {"filePath", "configs/new.json"}});
    EXPECT_EQ(answer.action, "confirm");
    // The rebuilt client authenticates with the new service and reports there.
    EXPECT_TRUE(waitUntil([&] { return !next.attributes().empty(); }, kDeadline));
    const auto config = boost::json::parse(httpRequest(kAgentPort, "POST", "/api/agent/get_config",
                                                       R"({"keys":["monitoring_service_port"]})",
                                                       "application/json")
                                               .body);
    EXPECT_EQ(config.at("data").at("monitoring_service_port").as_string(),
              std::to_string(next.port()));
    stopAgent();
    next.stop();
}

TEST_F(MonitoringEndToEndTest, SetConfigThatCouldNotStartIsRefused) {
    const auto answer = httpRequest(kAgentPort, "POST", "/api/agent/set_config",
                                    R"({"monitoring_service_port":"http"})", "application/json");
    EXPECT_EQ(answer.body, R"({"code":-6213,"data":null})");
    // Nothing was stored: a restart still reaches the service.
    stopAgent();
    monitoring_.clearRecords();
    startAgent(std::nullopt);
    EXPECT_TRUE(waitUntil([&] { return !monitoring_.tokenRequests().empty(); }, kDeadline));
}

}  // namespace

namespace {

TEST_F(MonitoringEndToEndTest, StopDuringALongTaskEndsPromptlyAndAnswersIt) {
    putObject("firmware/update.bin", std::string(4096, 'F'));
    // The upgrade never finishes: every status request gets an answer without a verdict.
    ASSERT_EQ(httpRequest(camera_.port(), "POST", "/sim/fault",
                          R"({"command":"offline_upgrade_status","error_code":-6001})",
                          "application/json")
                  .status,
              200);
    monitoring_.queueTask(
        {"", "upload_update_file",
         boost::json::object{{"exportType", "s3"}, {"filePath", "firmware/update.bin"}}});
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto log = boost::json::parse(
                httpRequest(camera_.port(), "GET", "/sim/requests?command=offline_upgrade_status")
                    .body);
            return log.at("requests").as_array().size() >= 2;
        },
        kDeadline));
    const auto begin = std::chrono::steady_clock::now();
    agent_->signal(SIGTERM);
    EXPECT_EQ(agent_->waitForExit(15s), std::optional<int>(0));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 8s);
    agent_.reset();
    // The task was given up and said so before the Agent left.
    const auto answers = monitoring_.taskAnswers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].action, "error");
    EXPECT_THAT(std::string(answers[0].body.at("description").as_string()),
                StartsWith("Ошибка загрузки файла на устройство: "));
}

}  // namespace
