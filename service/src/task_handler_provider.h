#pragma once
// Carries out the remote tasks the monitoring service assigns to the device: log, configuration
// and template backup files to object storage, configuration, firmware and template files from
// it, camera commands, and the source-mode settings. Created by the monitoring set-up and held
// weakly by the MonitoringDriver, whose loop thread calls the handlers one task at a time; the
// loop's template autodistribution calls getAndSendRecognitionBackupFile on the same thread.
// A handler fails by throwing (runtime or logic error, HardwareException, or the JSON library's
// boost::system::system_error for a missing or mistyped task member); the dispatcher turns that
// into the task's answer.

#include <Poco/JSON/Object.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config_map.h"
#include "wait_for_status.h"

namespace korvane::Utils::Models {
struct Task;
}
namespace korvane::Engine::DB {
class SQLiteDB;
}
namespace korvane::Engine::Driver {
class PellixDriver;
}

namespace korvane::Engine::Sync {

class S3ClientProvider;
class MonitoringDriver;

class TaskHandlerProvider {
  public:
    // Keeps the object store and the camera driver weakly: a provider never keeps a replaced
    // one alive. config is read and database written under dbMutex.
    TaskHandlerProvider(std::shared_ptr<S3ClientProvider> s3, Utils::ConfigMap& config,
                        std::shared_ptr<Driver::PellixDriver> driver, std::mutex& dbMutex,
                        DB::SQLiteDB& database);
    TaskHandlerProvider(const TaskHandlerProvider&) = delete;
    TaskHandlerProvider& operator=(const TaskHandlerProvider&) = delete;

    // The monitoring client told about changed device attributes after a camera command; null
    // detaches it. It must outlive every handler call made while it is set.
    void setMonitoringInstance(MonitoringDriver* monitoring);

    // How camera jobs (export, import, upgrade) are polled: at most `attempts` status requests,
    // `interval` apart. Defaults 300 and 1000 ms.
    void setStatusWait(int attempts, std::chrono::milliseconds interval);

    // Camera job waits in progress give up at once (the task then fails), as do later ones
    // until resumeWaits(): the monitoring loop is stopping and must not wait minutes for a job.
    void cancelWaits();
    void resumeWaits();

    // Each fills task.result with what the service is to receive, or throws.
    void handleDownloadLogFile(Utils::Models::Task& task);
    void handleDownloadConfigFile(Utils::Models::Task& task);
    void handleUploadConfigFile(Utils::Models::Task& task);
    void handleUploadUpdateFile(Utils::Models::Task& task);
    void handleDownloadRecognitionBackupFile(Utils::Models::Task& task);
    void handleUploadRecognitionBackupFile(Utils::Models::Task& task);
    void handleHardware(Utils::Models::Task& task);
    void handleSetSourceMode(Utils::Models::Task& task);

    // Exports the templates of those products (all products when empty) from the camera and
    // stores the archive; returns its object URL.
    std::string getAndSendRecognitionBackupFile(const std::vector<std::string>& productCodes);
    // Stores a camera picture (its bytes, or Base64 text when base64 is set); returns its URL.
    // Fails with HardwareException (S3_INSTANCE_EXPIRED, BASE64_DECODE_FAILED, IMAGE_ACCESS_ERROR,
    // IMAGE_NOT_FOUND, S3_UPLOAD_FAILED), or like every handler when no device id is configured.
    std::string saveImageToS3(const std::string& image, bool base64);
    // "KorvaneMonitoring/RecognitionModules/korvane_pellix_module/<deviceId>/<name>".
    static std::string getDefaultObjkey(const std::string& deviceId, const std::string& name);

  private:
    std::shared_ptr<S3ClientProvider> lockStorage(const char* expiredLog) const;
    std::shared_ptr<Driver::PellixDriver> lockDriver(const char* expiredLog) const;
    // korvane_monitoring_device_id as text; throws when the key is absent.
    std::string deviceId() const;
    // Imports one template file and waits for the camera to finish with it.
    void importTemplate(Driver::PellixDriver& driver, const std::vector<std::uint8_t>& file,
                        std::optional<bool> allowShare);
    void notifyAttributesChanged();
    // Throws (and logs) when the configuration with these changes could not start the Agent.
    void refuseUnstartableConfiguration(const Poco::JSON::Object::Ptr& changes);
    // The pause between two status requests of a camera job; false once waits are cancelled.
    Utils::StatusPause statusPause();

    std::weak_ptr<S3ClientProvider> s3_;
    std::weak_ptr<Driver::PellixDriver> driver_;
    std::atomic<MonitoringDriver*> monitoring_{nullptr};
    std::atomic<int> waitAttempts_{300};
    std::atomic<int> waitIntervalMs_{1000};
    std::mutex waitMutex_;
    std::condition_variable waitWake_;
    bool waitsCancelled_ = false;  // guarded by waitMutex_
    Utils::ConfigMap& config_;     // guarded by dbMutex_
    std::mutex& dbMutex_;
    DB::SQLiteDB& db_;
};

}  // namespace korvane::Engine::Sync
