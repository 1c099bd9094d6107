// The remote task handlers against real parts: the camera simulator in-process, the Node.js S3
// simulator as a child process (it checks every request's signature) and a migrated SQLite file.
// The system's temporary folder is a folder of the test's own, so leftovers are seen.

#include "task_handler_provider.h"

#include <Poco/Data/Session.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <filesystem>
#include <functional>
#include <sstream>

#include "agent_process.h"
#include "agent_utils.h"
#include "camera_driver_fixture.h"
#include "camera_errors.h"
#include "config_conversion.h"
#include "config_queries.h"
#include "crypto.h"
#include "http_client.h"
#include "models_task.h"
#include "models_transfer.h"
#include "s3_client_provider.h"
#include "s3_sim_process.h"
#include "state.h"
#include "task_handler_provider_support.h"
#include "template_archive.h"

namespace korvane::Engine::Sync {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Testing::LogCapture;
using ::testing::Not;
using ::testing::StartsWith;
using Testing::TempDir;
using Utils::Errors::HardwareException;
using Utils::Models::Task;
namespace fs = std::filesystem;

constexpr const char* kBucket = "tasks-bucket";
constexpr const char* kAccessKey = "AKIATASKS0001";
constexpr const char* kSecretKey = "Tasks/Secret+Key";
const std::string kKeyPrefix = "KorvaneMonitoring/RecognitionModules/korvane_pellix_module/D1/";

class TaskHandlerProviderTest : public Testing::CameraDriverTest {
  protected:
    TaskHandlerProviderTest() {
        {
            std::lock_guard<std::mutex> lock(dbMutex_);
            config_ = Utils::Queries::getAllConfigs(db_->GetSession());
        }
        auto settings = boost::json::parse(
            R"({"korvane_monitoring_device_id":"D1","korvane_monitoring_client_secret":"CS-secret-1",
                "file_storage_service_password":"PW-secret-2","file_storage_service_login":"LG-secret-3",
                "local_api_admin_token":"AT-secret-4"})");
        Utils::jsonToConfig(
            Utils::convertJsonBoost2Poco(settings).extract<Poco::JSON::Object::Ptr>(), dbMutex_,
            *db_, config_);
        driver = driverFor(sim_->port());
        tasks = std::make_shared<TaskHandlerProvider>(storage, config_, driver, dbMutex_, *db_);
        tasks->setStatusWait(300, 10ms);
    }

    // Puts bytes into the store as key, the way the service leaves a file for the Agent.
    void putObject(const std::string& key, const std::string& bytes) {
        const std::string path = dir_.file("upload.bin");
        Testing::writeFile(path, bytes);
        std::string url;
        ASSERT_TRUE(storage->uploadFile(path, key, url, true));
    }
    std::string keyOf(const boost::json::object& result) const {
        const std::string url(result.at("url").as_string());
        const std::string base = s3.endpoint() + "/" + kBucket + "/";
        EXPECT_THAT(url, StartsWith(base));
        return url.substr(base.size());
    }
    bool tempFolderEmpty() const { return fs::is_empty(tmp_.path()); }
    Task task(const std::string& data) {
        return Task{"17", "t", boost::json::parse(data).as_object(), {}};
    }

    TempDir tmp_;
    Testing::ScopedEnv tmpEnv_{"TMPDIR", tmp_.path().c_str()};
    Testing::ScopedEnv homeEnv_{"HOME", dir_.path().c_str()};
    Utils::ConfigMap config_;
    Testing::S3SimProcess s3{
        KORVANE_S3_SIM_SCRIPT, dir_.path().string(), {kBucket, kAccessKey, kSecretKey}};
    std::shared_ptr<S3ClientProvider> storage =
        std::make_shared<S3ClientProvider>(s3.endpoint(), kBucket, kAccessKey, kSecretKey);
    std::shared_ptr<Driver> driver;
    std::shared_ptr<TaskHandlerProvider> tasks;
};

// Runs fn, which must throw E; returns what it threw.
template <class E>
E failure(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const E& e) {
        return e;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected exception: " << e.what();
        throw;
    }
    ADD_FAILURE() << "no exception";
    throw std::runtime_error("no exception");
}

TEST_F(TaskHandlerProviderTest, HardwareCommandsAnswerTheCameraReplyOrFail) {
    auto reboot = task(R"({"kind":"camera","cmd":"reboot","args":{}})");
    tasks->handleHardware(reboot);
    EXPECT_EQ(reboot.result, boost::json::parse(R"({"value":{"code":0,"data":null}})"));
    EXPECT_EQ(simState().at("counters").at("reboots").as_int64(), 1);

    fault({{"command", "set_time"}, {"error_code", -6213}, {"once", true}});
    auto refused = task(R"({"kind":"camera","cmd":"set_time","args":{"sec":5,"usec":0}})");
    const auto e = failure<HardwareException>([&] { tasks->handleHardware(refused); });
    EXPECT_EQ(e.code(), "-6213");
    EXPECT_EQ(std::string(e.what()), "Ошибка при выполнении команды. Parameter error");
    EXPECT_EQ(refused.result, boost::json::parse(R"({"code":-6213,"data":null})"));

    LogCapture log;
    auto unknown = task(R"({"kind":"camera","cmd":"format_disk","args":{}})");
    const auto u = failure<HardwareException>([&] { tasks->handleHardware(unknown); });
    EXPECT_EQ(u.code(), "UNKNOWN_HARDWARE_COMMAND");
    EXPECT_STREQ(u.what(), "");
    EXPECT_THAT(log.text(), HasSubstr("Unknown hardware command: format_disk"));

    // Malformed tasks fail as the JSON library reports them, before reaching the camera.
    for (const char* data :
         {R"({"kind":"camera","args":{}})", R"({"kind":"camera","cmd":"set_time","args":"sec=5"})",
          R"({"cmd":"reboot","args":{}})"}) {
        auto bad = task(data);
        failure<boost::system::system_error>([&] { tasks->handleHardware(bad); });
    }
    EXPECT_EQ(requestsOf("set_time").size(), 1u);
}

TEST_F(TaskHandlerProviderTest, CameraPicturesGoToTheStore) {
    const std::string picture = driver->get_image(false).second;
    ASSERT_FALSE(picture.empty());

    auto image = task(R"({"kind":"camera","cmd":"get_image","args":null})");
    tasks->handleHardware(image);
    ASSERT_EQ(image.result.size(), 1u);
    const std::string imageKey = keyOf(image.result);
    EXPECT_THAT(imageKey, StartsWith(kKeyPrefix + "Images/screen_D1_"));
    EXPECT_EQ(s3.object(imageKey), picture);

    // The template's picture arrives as Base64 and is stored decoded; the answer keeps the rest.
    auto added = task(R"({"kind":"camera","cmd":"add_item_template","args":{"id":"10001"}})");
    tasks->handleHardware(added);
    const auto& value = added.result.at("value").as_object();
    EXPECT_EQ(value.at("code"), 0);
    EXPECT_FALSE(value.at("data").as_object().contains("image"));
    EXPECT_TRUE(value.at("data").as_object().contains("sid"));
    EXPECT_EQ(s3.object(keyOf(added.result)), picture);
    EXPECT_TRUE(tempFolderEmpty());

    const auto requests = s3.stat("requests");
    const auto bad = failure<HardwareException>([&] { tasks->saveImageToS3("no base64!", true); });
    EXPECT_EQ(bad.code(), "BASE64_DECODE_FAILED");
    EXPECT_EQ(s3.stat("requests"), requests);
}

TEST_F(TaskHandlerProviderTest, ConfigurationFileFromTheStoreIsApplied) {
    putObject("incoming/settings.json",
              R"({"logging_level":"debug","file_storage_service_password":"N3w"})");
    auto applied = task(R"({"exportType":"s3","filePath":"incoming/settings.json"})");
    tasks->handleUploadConfigFile(applied);
    EXPECT_EQ(config_.at("logging_level").convert<std::string>(), "debug");
    EXPECT_EQ(config_.at("file_storage_service_password").convert<std::string>(), "N3w");
    putObject("incoming/settings.json", R"({"local_api_admin_token":"***"})");
    tasks->handleUploadConfigFile(applied);
    EXPECT_EQ(config_.at("local_api_admin_token").convert<std::string>(), "AT-secret-4");

    putObject("incoming/list.json", "[1,2]");
    struct Case {
        const char* data;
        const char* message;
    } cases[] = {
        {R"({"exportType":"s3","filePath":"incoming/missing.json"})",
         "Внутренняя ошибка работы с запрашиваемым файлом"},
        {R"({"exportType":"s3","filePath":"incoming/list.json"})",
         "Ошибка обработки конфигурационных данных"},
        {"{}", "Ошибка обработки входных параметров"},
    };
    for (const auto& c : cases) {
        auto t = task(c.data);
        EXPECT_STREQ(failure<std::runtime_error>([&] { tasks->handleUploadConfigFile(t); }).what(),
                     c.message);
    }
    const auto before = s3.stat("requests");
    auto ftp = task(R"({"exportType":"ftp","filePath":"incoming/settings.json"})");
    EXPECT_STREQ(failure<std::logic_error>([&] { tasks->handleUploadConfigFile(ftp); }).what(),
                 "Неподдерживаемый тип файлового хранилища");
    EXPECT_EQ(s3.stat("requests"), before);

    // A configuration the Agent could not start with is refused whole.
    putObject("incoming/broken.json", R"({"logging_level":"trace","device_port":"eighty"})");
    auto broken = task(R"({"exportType":"s3","filePath":"incoming/broken.json"})");
    EXPECT_STREQ(
        failure<std::invalid_argument>([&] { tasks->handleUploadConfigFile(broken); }).what(),
        "Expected port number for config key: device_port");
    EXPECT_EQ(config_.at("logging_level").convert<std::string>(), "debug");
}

TEST_F(TaskHandlerProviderTest, ConfigurationDumpKeepsSecretsOutOfTheLog) {
    LogCapture log;
    auto dump = task(R"({"format":"json"})");
    tasks->handleDownloadConfigFile(dump);
    const std::string key = keyOf(dump.result);
    EXPECT_THAT(key, StartsWith(kKeyPrefix + "Configs/config_D1_"));
    const auto stored = boost::json::parse(s3.object(key)).as_object();
    EXPECT_EQ(stored.at("korvane_monitoring_client_secret"), "CS-secret-1");
    EXPECT_EQ(stored.at("file_storage_service_password"), "PW-secret-2");
    EXPECT_EQ(stored.at("file_storage_service_login"), "LG-secret-3");
    EXPECT_EQ(stored.at("korvane_monitoring_device_id"), "D1");

    const std::string text = log.text();
    EXPECT_THAT(text, HasSubstr(R"("korvane_monitoring_client_secret":"***")"));
    EXPECT_THAT(text, HasSubstr(R"("korvane_monitoring_device_id":"D1")"));
    for (const char* secret : {"CS-secret-1", "PW-secret-2", "LG-secret-3", "AT-secret-4"})
        EXPECT_THAT(text, Not(HasSubstr(secret)));
    EXPECT_TRUE(tempFolderEmpty());

    // A refused upload leaves no copy of the secrets behind.
    s3.fault(R"({"status":503,"count":2})");
    EXPECT_THAT(failure<std::runtime_error>([&] { tasks->handleDownloadConfigFile(dump); }).what(),
                StartsWith("Ошибка подключения к файловому хранилищу " + kKeyPrefix + "Configs/"));
    EXPECT_TRUE(tempFolderEmpty());
}

TEST_F(TaskHandlerProviderTest, TodaysLogFileIsUploadedAndKept) {
    auto upload = task("{}");
    EXPECT_STREQ(failure<std::runtime_error>([&] { tasks->handleDownloadLogFile(upload); }).what(),
                 "Файл не найден");

    const fs::path logs = dir_.path() / ".local/share/KORVANE/PellixAgent/logs";
    fs::create_directories(logs);
    const std::string path =
        (logs / ("pellix_" + TaskSupport::localTime("%Y-%m-%d") + ".log")).string();
    Testing::writeFile(path, "line one\nline two\n");
    tasks->handleDownloadLogFile(upload);
    const std::string key = keyOf(upload.result);
    EXPECT_THAT(key, StartsWith(kKeyPrefix + "Logs/log_D1_"));
    EXPECT_EQ(s3.object(key), "line one\nline two\n");
    EXPECT_TRUE(fs::exists(path));
}

TEST_F(TaskHandlerProviderTest, TemplateBackupHoldsTheCamerasArchive) {
    auto backup =
        task(R"({"recognitionType":"t","extension":"evom","productCodes":["10001",7,"10002"]})");
    tasks->handleDownloadRecognitionBackupFile(backup);
    EXPECT_EQ(boost::json::parse(lastRequestOf("export_template").at("body").as_string()),
              boost::json::parse(R"({"ids":["10001","10002"]})"));
    const std::string key = keyOf(backup.result);
    EXPECT_THAT(key, StartsWith(kKeyPrefix + "Backups/backup_D1_"));

    const auto [code, status] = driver->export_template_status();
    ASSERT_EQ(code, 0);
    const std::string archive = driver->download_template(status.filename).second.body;
    EXPECT_EQ(s3.object(key), archive);
    const auto files = Utils::decompressEVOM(archive);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].first, "10001.evo");
    EXPECT_TRUE(tempFolderEmpty());

    control("POST", "/sim/config", R"({"fail_next_job":{"export":6}})");
    EXPECT_THAT(
        failure<std::runtime_error>([&] { tasks->getAndSendRecognitionBackupFile({}); }).what(),
        StartsWith("Ошибка создания файла на устройстве: "));
}

TEST_F(TaskHandlerProviderTest, BackupRestoreImportsEveryTemplateFile) {
    const auto products = simState().at("products");
    const std::string key = keyOf({{"url", tasks->getAndSendRecognitionBackupFile({})}});
    const std::string archive = s3.object(key);
    const auto files = Utils::decompressEVOM(archive);
    ASSERT_EQ(files.size(), products.as_object().size());
    putObject("restore/all.evom", archive);
    putObject("restore/one.evo", std::string(files[2].second.begin(), files[2].second.end()));

    auto all = task(R"({"exportType":"s3","recognitionType":"t","filePath":"restore/all.evom",
                        "cleanBeforeInstallation":true,"allowShare":true})");
    tasks->handleUploadRecognitionBackupFile(all);
    EXPECT_EQ(requestsOf("clear_all_template").size(), 1u);
    const auto imports = requestsOf("import_template");
    ASSERT_EQ(imports.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto& parts = imports[i].at("parts").as_array();
        EXPECT_EQ(parts[0].at("size").to_number<std::size_t>(), files[i].second.size())
            << files[i].first;
        EXPECT_EQ(parts[1].at("name"), "allowShare");
    }
    EXPECT_EQ(simState().at("products"), products);

    // One template file, nothing cleared; "cleanBeforeInstallation" that is not a bool means no.
    control("POST", "/sim/requests/clear");
    auto one = task(R"({"exportType":"s3","recognitionType":"t","filePath":"restore/one.evo",
                        "cleanBeforeInstallation":"yes"})");
    tasks->handleUploadRecognitionBackupFile(one);
    EXPECT_EQ(requestsOf("import_template").size(), 1u);
    EXPECT_TRUE(requestsOf("clear_all_template").empty());

    // The first failing file ends the restore; the clean-up before it stays done.
    control("POST", "/sim/requests/clear");
    control("POST", "/sim/config", R"({"fail_next_job":{"import":5}})");
    EXPECT_THAT(
        failure<std::runtime_error>([&] { tasks->handleUploadRecognitionBackupFile(all); }).what(),
        StartsWith("Ошибка загрузки файла на устройство: "));
    EXPECT_EQ(requestsOf("import_template").size(), 1u);
    EXPECT_EQ(requestsOf("clear_all_template").size(), 1u);

    auto missing =
        task(R"({"exportType":"s3","recognitionType":"t","filePath":"restore/none.evo"})");
    EXPECT_STREQ(failure<std::runtime_error>([&] {
                     tasks->handleUploadRecognitionBackupFile(missing);
                 }).what(),
                 "Файл не существует: неправильный путь к файлу или нет подключения к Интернету");
}

TEST_F(TaskHandlerProviderTest, FirmwareUpdateFromTheStoreUpgradesTheCamera) {
    const auto firmware = simState().at("identity").at("firmware");
    putObject("fw/package.bin", std::string(4096, 'F'));
    auto update = task(R"({"exportType":"s3","filePath":"fw/package.bin"})");
    tasks->handleUploadUpdateFile(update);
    EXPECT_EQ(lastRequestOf("offline_upgrade").at("parts").at(0).at("size").to_number<int>(), 4096);
    EXPECT_NE(simState().at("identity").at("firmware"), firmware);

    control("POST", "/sim/config", R"({"fail_next_job":{"upgrade":7}})");
    EXPECT_THAT(failure<std::runtime_error>([&] { tasks->handleUploadUpdateFile(update); }).what(),
                StartsWith("Ошибка загрузки файла на устройство: "));
    auto missing = task(R"({"exportType":"s3","filePath":"fw/none.bin"})");
    EXPECT_STREQ(
        failure<std::runtime_error>([&] { tasks->handleUploadUpdateFile(missing); }).what(),
        "Файл не существует: неправильный путь к файлу или нет подключения к сети Интернет");
}

TEST_F(TaskHandlerProviderTest, SourceModeIsStoredAndPublished) {
    // The State is process-wide: later tests find it as it was (the readers' defaults otherwise).
    State& state = State::getInstance();
    struct Restore {
        State& state;
        bool enabled = state.sm_enabled();
        int interval = state.sm_polling_interval();
        int threshold = state.sm_template_threshold();
        ~Restore() {
            state.set("source_mode_enabled", enabled);
            state.set("source_mode_polling_interval", interval);
            state.set("source_mode_template_threshold", threshold);
        }
    } restore{state};
    auto stateRows = [&] {
        std::lock_guard<std::mutex> lock(dbMutex_);
        return Utils::Queries::getState(db_->GetSession());
    };
    auto set = task(R"({"enabled":true,"templateThreshold":25,"pollingInterval":60})");
    tasks->handleSetSourceMode(set);
    auto rows = stateRows();
    EXPECT_TRUE(rows.at("source_mode_enabled").convert<bool>());
    EXPECT_EQ(rows.at("source_mode_template_threshold").convert<int>(), 25);
    EXPECT_EQ(rows.at("source_mode_polling_interval_sec").convert<int>(), 60);
    EXPECT_TRUE(state.sm_enabled());
    EXPECT_EQ(state.sm_polling_interval(), 60);
    EXPECT_EQ(state.sm_template_threshold(), 25);

    auto text = task(R"({"enabled":"false","templateThreshold":5,"pollingInterval":30})");
    failure<boost::system::system_error>([&] { tasks->handleSetSourceMode(text); });
    EXPECT_EQ(stateRows().at("source_mode_polling_interval_sec").convert<int>(), 60);
    EXPECT_EQ(state.sm_polling_interval(), 60);
}

TEST_F(TaskHandlerProviderTest, GoneStoreOrDriverFailsWithoutEffects) {
    TaskHandlerProvider orphan(nullptr, config_, nullptr, dbMutex_, *db_);
    auto logTask = task("{}");
    EXPECT_STREQ(failure<std::runtime_error>([&] { orphan.handleDownloadLogFile(logTask); }).what(),
                 "Внутренняя ошибка работы с файловым хранилищем");
    auto reboot = task(R"({"kind":"camera","cmd":"reboot","args":{}})");
    EXPECT_STREQ(failure<std::runtime_error>([&] { orphan.handleHardware(reboot); }).what(),
                 "Внутренняя ошибка работы с устройством");
    EXPECT_EQ(failure<HardwareException>([&] { orphan.saveImageToS3("x", false); }).code(),
              "S3_INSTANCE_EXPIRED");
    EXPECT_TRUE(requestsOf("reboot").empty());
}

TEST(TaskHandlerProviderFiles, TemporaryFilesArePrivateAndUnique) {
    TempDir tmp;
    Testing::ScopedEnv env("TMPDIR", tmp.path().c_str());
    auto first = TaskSupport::TemporaryFile::create("config_", ".json");
    auto second = TaskSupport::TemporaryFile::create("config_", ".json");
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->path(), second->path());
    EXPECT_EQ(fs::path(first->path()).parent_path(), tmp.path());
    EXPECT_THAT(fs::path(first->path()).filename().string(), StartsWith("config_"));
    struct stat info {};
    ASSERT_EQ(::stat(first->path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(first->write("secret"));
    EXPECT_EQ(Testing::readFile(first->path()), "secret");
    first.reset();
    second.reset();
    EXPECT_TRUE(fs::is_empty(tmp.path()));
}

}  // namespace
}  // namespace korvane::Engine::Sync
