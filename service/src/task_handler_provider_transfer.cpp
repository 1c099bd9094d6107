// Remote file jobs on the camera: firmware updates and template backups travel between object
// storage and the camera, each followed until the camera reports the job finished.

#include <boost/json.hpp>
#include <optional>
#include <string_view>

#include "camera_errors.h"
#include "logger.h"
#include "models_task.h"
#include "models_transfer.h"
#include "pellix_driver.h"
#include "s3_client_provider.h"
#include "task_handler_provider.h"
#include "task_handler_provider_support.h"
#include "template_archive.h"
#include "wait_for_status.h"

namespace korvane::Engine::Sync {

using namespace TaskSupport;
namespace Errors = Utils::Errors;
namespace Models = Utils::Models;

namespace {

constexpr const char* kNoDriverForUpload =
    "driver_instance_ expired; cannot upload recognition file from camera;";
constexpr const char* kNoStorageForDownload =
    "S3ClientProvider expired; cannot download config file from S3;";

std::string_view asText(const std::vector<std::uint8_t>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

void TaskHandlerProvider::handleUploadUpdateFile(Utils::Models::Task& task) {
    if (task.data.empty()) throw std::runtime_error(kPayloadEmpty);
    const std::string exportType = requireString(task.data, "exportType");
    const std::string filePath = requireString(task.data, "filePath");
    requireObjectStorage(exportType);
    auto s3 = lockStorage(kNoStorageForDownload);
    auto driver = lockDriver(kNoDriverForUpload);

    Models::OfflineUpgradeReq request;
    request.file = s3->downloadFile(filePath);
    if (request.file.empty()) {
        Log()->error("handleUploadUpdateFile: incoming data empty or file not found in S3: {}",
                     filePath);
        throw std::runtime_error(
            "Файл не существует: неправильный путь к файлу или нет подключения к сети Интернет");
    }
    if (const int code = driver->offline_upgrade(request, false); code != 0) {
        Log()->error(
            "Error to send offline_upgrade() command to camera, so make it failed, code={};", code);
        throw cameraFailure(code, kCommandFailed);
    }
    const auto [done, status] =
        Utils::wait_for_status<Errors::UpgradeStatus, Models::OfflineUpgradeStatusRes>(
            [&] { return driver->offline_upgrade_status(false); }, Errors::UpgradeStatus::Completed,
            Errors::is_upgrade_failure,
            [](Errors::UpgradeStatus value) { return Errors::to_string(value); }, "offline upgrade",
            waitAttempts_.load(), waitIntervalMs_.load(), statusPause());
    if (!done) throw std::runtime_error(kDeviceLoadFailed + status.msg);
    Log()->info("Offline upgrade completed: {}", status.msg);
}

void TaskHandlerProvider::handleUploadRecognitionBackupFile(Utils::Models::Task& task) {
    Log()->info("handleUploadRecognitionBackupFile()");
    if (task.data.empty()) throw std::runtime_error(kPayloadEmpty);
    auto driver = lockDriver(kNoDriverForUpload);
    const std::string exportType = requireString(task.data, "exportType");
    requireString(task.data, "recognitionType");
    const std::string filePath = requireString(task.data, "filePath");
    requireObjectStorage(exportType);

    bool clean = false;
    if (task.data.contains("cleanBeforeInstallation")) {
        try {
            clean = requireBool(task.data, "cleanBeforeInstallation");
        } catch (const std::exception& e) {
            Log()->info(
                "error when get \"cleanBeforeInstallation\", so make it false, exception: {};",
                e.what());
        }
    }
    // Read before the clean-up so that a malformed task changes nothing on the camera.
    std::optional<bool> allowShare;
    if (task.data.contains("allowShare")) allowShare = requireBool(task.data, "allowShare");
    if (clean) {
        if (const int code = driver->clear_all_template(); code != 0) {
            Log()->error("Error calling clear_all_template(): code={}", code);
            throw cameraFailure(code, "Ошибка при выполнении команды форматирования : ");
        }
    }

    auto s3 = lockStorage(kNoStorageForDownload);
    const auto bytes = s3->downloadFile(filePath);
    if (bytes.empty()) {
        Log()->error("handleUploadConfigFile: incoming data empty or file not found in S3: {}",
                     filePath);
        throw std::runtime_error(
            "Файл не существует: неправильный путь к файлу или нет подключения к Интернету");
    }
    if (!endsWith(filePath, ".evom")) {
        importTemplate(*driver, bytes, allowShare);
        return;
    }
    // Every template file of the archive reaches the camera, each as its own import, so that a
    // multi-product backup is restored whole.
    bool imported = false;
    for (const auto& [name, entry] : Utils::decompressEVOM(asText(bytes))) {
        if (!endsWith(name, ".evo")) continue;
        Log()->info("Importing {} from evom archive (size={})", name, entry.size());
        importTemplate(*driver, entry, allowShare);
        imported = true;
    }
    if (!imported) throw std::runtime_error("В архиве .evom нет файлов .evo");
}

void TaskHandlerProvider::importTemplate(Driver::PellixDriver& driver,
                                         const std::vector<std::uint8_t>& file,
                                         std::optional<bool> allowShare) {
    Models::ImportTemplateReq request;
    request.file = file;
    if (allowShare) request.params.emplace_back("allowShare", *allowShare ? "true" : "false");
    if (const int code = driver.import_template(request); code != 0) {
        Log()->error(
            "Error to send import_template() command to camera, so make it failed, code={};", code);
        throw cameraFailure(code, kCommandFailed);
    }
    const auto [done, status] =
        Utils::wait_for_status<Errors::ImportStatus, Models::ImportTemplateStatusRes>(
            [&] { return driver.import_template_status(); }, Errors::ImportStatus::Completed,
            Errors::is_terminal_failure,
            [](Errors::ImportStatus value) { return Errors::to_string(value); }, "import template",
            waitAttempts_.load(), waitIntervalMs_.load(), statusPause());
    if (!done) throw std::runtime_error(kDeviceLoadFailed + status.msg);
    Log()->info("Import recognition backup success, received msg: {};", status.msg);
}

void TaskHandlerProvider::handleDownloadRecognitionBackupFile(Utils::Models::Task& task) {
    if (task.data.empty()) throw std::runtime_error(kPayloadEmpty);
    requireString(task.data, "recognitionType");
    requireString(task.data, "extension");
    std::vector<std::string> productCodes;
    if (const auto* codes = task.data.if_contains("productCodes"); codes && codes->is_array()) {
        for (const auto& code : codes->get_array()) {
            if (code.is_string()) productCodes.emplace_back(code.get_string());
        }
    }
    task.result = {{"url", getAndSendRecognitionBackupFile(productCodes)}};
}

std::string TaskHandlerProvider::getAndSendRecognitionBackupFile(
    const std::vector<std::string>& productCodes) {
    auto driver =
        lockDriver("driver_instance_ expired; cannot download recognition file from camera;");
    if (const int code = driver->export_template(Models::ExportTemplateReq{productCodes});
        code != 0) {
        Log()->error("Error to send export_template command to camera, so make it failed, code={};",
                     code);
        throw cameraFailure(code, kCommandFailed);
    }
    const auto [done, status] =
        Utils::wait_for_status<Errors::ExportStatus, Models::ExportTemplateStatusRes>(
            [&] { return driver->export_template_status(); }, Errors::ExportStatus::Completed,
            Errors::is_export_failure,
            [](Errors::ExportStatus value) { return Errors::to_string(value); }, "export template",
            waitAttempts_.load(), waitIntervalMs_.load(), statusPause());
    if (!done) throw std::runtime_error("Ошибка создания файла на устройстве: " + status.msg);

    const auto [code, archive] = driver->download_template(status.filename);
    if (code != 0) {
        Log()->error(
            "Error to send download_template() to camera, or it have error, so make it failed;");
        throw cameraFailure(code, kCommandFailed);
    }
    if (archive.body.empty()) {
        Log()->error(
            "Error to send download file after export command to camera, so make it failed;");
        throw std::runtime_error("Полученный .evo файл пуст");
    }

    const std::string device = deviceId();
    const std::string name = "backup_" + device + "_" + localTime(kNameTime) + ".evo";
    auto file = TemporaryFile::create("backup_", ".evo");
    if (!file) {
        Log()->error("Unable to open evo-file to write: {}",
                     TemporaryFile::pattern("backup_", ".evo"));
        throw std::runtime_error(kFileAccess);
    }
    Log()->info("Writing temporary evo-file to: {}", file->path());
    if (!file->write(archive.body)) {
        Log()->error("Unable to open evo-file to write: {}", file->path());
        throw std::runtime_error(kFileAccess);
    }
    auto s3 = lockStorage("S3ClientProvider expired; cannot upload evo-file to S3;");
    const std::string key = getDefaultObjkey(device, "Backups/" + name);
    std::string url;
    if (!s3->uploadFile(file->path(), key, url, true)) {
        Log()->error("Failed to upload config file to S3: {}", key);
        throw std::runtime_error(uploadFailed(key));
    }
    Log()->info("evo-file was uploaded to S3: {};", url);
    file->remove();
    Log()->info("Temporary evo-file removed: {}", file->path());
    return url;
}

}  // namespace korvane::Engine::Sync
