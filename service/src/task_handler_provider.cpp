#include "task_handler_provider.h"

#include <Poco/JSON/Object.h>

#include <boost/json.hpp>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "agent_utils.h"
#include "config_conversion.h"
#include "filesystem.h"
#include "logger.h"
#include "models_task.h"
#include "monitoring_configuration.h"
#include "s3_client_provider.h"
#include "source_mode.h"
#include "sqlite_db.h"
#include "state.h"
#include "task_handler_provider_support.h"

namespace korvane::Engine::Sync {

using namespace TaskSupport;

namespace {

std::string compactJson(const Poco::JSON::Object& object) {
    std::ostringstream text;
    object.stringify(text);
    return text.str();
}

}  // namespace

TaskHandlerProvider::TaskHandlerProvider(std::shared_ptr<S3ClientProvider> s3,
                                         Utils::ConfigMap& config,
                                         std::shared_ptr<Driver::PellixDriver> driver,
                                         std::mutex& dbMutex, DB::SQLiteDB& database)
    : s3_(s3), driver_(driver), config_(config), dbMutex_(dbMutex), db_(database) {}

void TaskHandlerProvider::cancelWaits() {
    {
        std::lock_guard lock(waitMutex_);
        waitsCancelled_ = true;
    }
    waitWake_.notify_all();
}

void TaskHandlerProvider::resumeWaits() {
    std::lock_guard lock(waitMutex_);
    waitsCancelled_ = false;
}

Utils::StatusPause TaskHandlerProvider::statusPause() {
    return [this](std::chrono::milliseconds interval) {
        std::unique_lock lock(waitMutex_);
        return !waitWake_.wait_for(lock, interval, [this] { return waitsCancelled_; });
    };
}

void TaskHandlerProvider::setMonitoringInstance(MonitoringDriver* monitoring) {
    monitoring_.store(monitoring);
}

void TaskHandlerProvider::setStatusWait(int attempts, std::chrono::milliseconds interval) {
    waitAttempts_.store(attempts);
    waitIntervalMs_.store(static_cast<int>(interval.count()));
}

std::string TaskHandlerProvider::getDefaultObjkey(const std::string& deviceId,
                                                  const std::string& name) {
    return "KorvaneMonitoring/RecognitionModules/korvane_pellix_module/" + deviceId + "/" + name;
}

std::shared_ptr<S3ClientProvider> TaskHandlerProvider::lockStorage(const char* expiredLog) const {
    auto s3 = s3_.lock();
    if (!s3) {
        Log()->error(expiredLog);
        throw std::runtime_error(kStorageExpired);
    }
    return s3;
}

std::shared_ptr<Driver::PellixDriver> TaskHandlerProvider::lockDriver(
    const char* expiredLog) const {
    auto driver = driver_.lock();
    if (!driver) {
        Log()->error(expiredLog);
        throw std::runtime_error(kDriverExpired);
    }
    return driver;
}

std::string TaskHandlerProvider::deviceId() const {
    std::lock_guard<std::mutex> lock(dbMutex_);
    const auto found = config_.find("korvane_monitoring_device_id");
    if (found == config_.end()) {
        throw std::out_of_range("korvane_monitoring_device_id is not configured");
    }
    return found->second.convert<std::string>();
}

void TaskHandlerProvider::handleDownloadLogFile(Utils::Models::Task& task) {
    auto s3 = lockStorage("S3ClientProvider expired; cannot upload log file to S3;");
    const std::string dir = Utils::Filesystem::GetLogDirectory();
    const std::string path =
        (std::filesystem::path(dir) / ("pellix_" + localTime("%Y-%m-%d") + ".log")).string();
    std::error_code error;
    if (dir.empty() || !std::filesystem::is_regular_file(path, error)) {
        Log()->error("Log file not found: {}", path);
        throw std::runtime_error("Файл не найден");
    }
    const std::string device = deviceId();
    const std::string key =
        getDefaultObjkey(device, "Logs/log_" + device + "_" + localTime(kNameTime) + ".log");
    std::string url;
    if (!s3->uploadFile(path, key, url, false)) {
        Log()->error("Failed to upload log file to S3: {}", key);
        throw std::runtime_error(uploadFailed(key));
    }
    task.result = {{"url", url}};
    Log()->info("Log file was uploaded to S3: {};", url);
}

void TaskHandlerProvider::handleDownloadConfigFile(Utils::Models::Task& task) {
    if (task.data.empty()) {
        Log()->error("handleDownloadConfigFile: empty payload");
        throw std::runtime_error(kPayloadEmpty);
    }
    auto s3 = lockStorage("S3ClientProvider expired; cannot upload config file to S3;");
    Poco::JSON::Object::Ptr config;
    {
        std::lock_guard<std::mutex> lock(dbMutex_);
        config = Utils::configToJson(config_);
    }
    const std::string text = compactJson(*config);
    // The file carries the secrets in clear for the service; the log line must not.
    Log()->info("Created json string from global config: {};",
                compactJson(*Utils::maskSecrets(*config)));

    const std::string device = deviceId();
    auto file = TemporaryFile::create("config_", ".json");
    if (!file) {
        Log()->error("Unable to open file to write: {}",
                     TemporaryFile::pattern("config_", ".json"));
        throw std::runtime_error(kFileAccess);
    }
    Log()->info("Config json was saved to tmp directory: {};", file->path());
    if (!file->write(text)) {
        Log()->error("Unable to open file to write: {}", file->path());
        throw std::runtime_error(kFileAccess);
    }
    const std::string key =
        getDefaultObjkey(device, "Configs/config_" + device + "_" + localTime(kNameTime) + ".json");
    std::string url;
    if (!s3->uploadFile(file->path(), key, url, true)) {
        Log()->error("Failed to upload config file to S3: {}", key);
        throw std::runtime_error(uploadFailed(key));
    }
    Log()->info("Config was uploaded to S3: {};", url);
    task.result = {{"url", url}};
}

void TaskHandlerProvider::refuseUnstartableConfiguration(const Poco::JSON::Object::Ptr& changes) {
    Utils::ConfigMap current;
    {
        std::lock_guard<std::mutex> lock(dbMutex_);
        current = config_;
    }
    try {
        checkConfigurationChange(std::move(current), changes);
    } catch (const std::exception& e) {
        // Stored, it would leave the Agent unable to rebuild its components at every start.
        Log()->error("handleUploadConfigFile: configuration refused: {}", e.what());
        throw;
    }
}

void TaskHandlerProvider::handleUploadConfigFile(Utils::Models::Task& task) {
    if (task.data.empty()) {
        Log()->error("handleUploadConfigFile: empty payload");
        throw std::runtime_error(kPayloadEmpty);
    }
    const std::string exportType = requireString(task.data, "exportType");
    const std::string filePath = requireString(task.data, "filePath");
    requireObjectStorage(exportType);
    auto s3 = lockStorage("S3ClientProvider expired; cannot download config file from S3;");
    const auto bytes = s3->downloadFile(filePath);
    if (bytes.empty()) {
        Log()->error("handleUploadConfigFile: incoming data empty or file not found in S3: {}",
                     filePath);
        throw std::runtime_error(kFileAccess);
    }
    const boost::json::value parsed = boost::json::parse(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!parsed.is_object()) {
        Log()->error("handleUploadConfigFile: can't parse uploaded json");
        throw std::runtime_error("Ошибка обработки конфигурационных данных");
    }
    // A get_config dump sent back as a file shows every secret as its mask: the stored one stays.
    const auto settings = Utils::withoutMaskedSecrets(
        *Utils::convertJsonBoost2Poco(parsed).extract<Poco::JSON::Object::Ptr>());
    refuseUnstartableConfiguration(settings);
    Utils::jsonToConfig(settings, dbMutex_, db_, config_);

    std::string serviceType;
    {
        std::lock_guard<std::mutex> lock(dbMutex_);
        const auto found = config_.find("monitoring_service_type");
        if (found != config_.end()) serviceType = found->second.convert<std::string>();
    }
    Log()->info("handleUploadConfigFile: global config update from {}", serviceType);
}

void TaskHandlerProvider::handleSetSourceMode(Utils::Models::Task& task) {
    if (task.data.empty()) {
        Log()->error("handleSetSourceMode: empty payload");
        throw std::runtime_error(kPayloadEmpty);
    }
    const bool enabled = requireBool(task.data, "enabled");
    const int threshold = requireInt(task.data, "templateThreshold");
    const int interval = requireInt(task.data, "pollingInterval");
    saveSourceMode(db_.GetSession(), dbMutex_, enabled, SourceModeSettings{threshold, interval});
    Log()->info("handleSetSourceMode: update from {} ({};{} s)", enabled, threshold, interval);
}

}  // namespace korvane::Engine::Sync
