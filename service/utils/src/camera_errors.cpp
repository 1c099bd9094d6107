#include "camera_errors.h"

#include <iterator>
#include <utility>

namespace korvane::Utils::Errors {

namespace {

struct ErrorText {
    CameraError error;
    const char* text;
};

// The camera's codes and the Agent's own that share their code space.
constexpr ErrorText kErrorTexts[] = {
    {CameraError::MonitoringUnavailable, "Monitoring server not available"},
    {CameraError::MonitoringError, "Error on monitoring server"},
    {CameraError::AlgorithmApiError, "Algorithm API error"},
    {CameraError::SyncTimeout, "Sync request timed out"},
    {CameraError::ParameterError, "Parameter error"},
    {CameraError::LoginFailed, "Login failed"},
    {CameraError::FileVerificationFailed, "File verification failed"},
    {CameraError::UnknownMistake, "Unknown mistake"},
    {CameraError::AlgorithmApiTimeout, "Algorithm API timeout"},
    {CameraError::NetworkError, "Network error"},
    {CameraError::FileWriteFailed, "Failed to write file"},
    {CameraError::FileWriteFailedToo, "Failed to write file"},
    {CameraError::FileNotFound, "File does not exist"},
    {CameraError::JsonParsingFailed, "Json parsing failed"},
    {CameraError::AppUpdateFailed, "App update faild"},
    {CameraError::EngineVersionMismatch, "Engine version mismatch"},
    {CameraError::DeviceMismatch, "Device mismatch"},
    {CameraError::StoreMismatch, "Store mismatch"},
    {CameraError::FileFormatMismatch, "File format mismatch"},
    {CameraError::FirmwareMismatch, "Device firmware mismatch, function limited"},
    {CameraError::UnknownUpdateError, "Unknown error while updating"},
    {CameraError::ResetRejectedWhileUpdating, "Reject reset while updating"},
    {CameraError::DownloadFailed, "Download failed"},
    {CameraError::DownloadVerificationFailed, "Download verification failed"},
    {CameraError::AlreadyLatestVersion, "The device is already the latest version"},
    {CameraError::DownloadNotStarted, "Download not started"},
    {CameraError::DeviceNotActivated, "Device not activated"},
    {CameraError::StoreVerificationFailed, "The server failed to verify the store"},
    {CameraError::StoreIdFormatError, "Store id format error"},
    {CameraError::DeviceActivated, "Device is activated"},
    {CameraError::UnknownCommand, "Device communication unknown command"},
    {CameraError::UpdateFailed, "Update faild"},
    {CameraError::CameraLost, "Camera lost"},
};

// Algorithm failures come from the camera as a whole band of codes.
constexpr int kAlgorithmBandLow = -6500;
constexpr int kAlgorithmBandHigh = -6401;

const char* statusText(const char* const* texts, std::size_t count, std::uint8_t value) {
    return value < count ? texts[value] : "unknown";
}

}  // namespace

std::string toString(CameraError error) {
    for (const auto& entry : kErrorTexts) {
        if (entry.error == error) {
            return entry.text;
        }
    }
    return "Unrecognized CameraError";
}

CameraError toCameraError(int code) {
    if (code >= kAlgorithmBandLow && code <= kAlgorithmBandHigh) {
        return CameraError::AlgorithmApiError;
    }
    const auto error = static_cast<CameraError>(code);
    if (error != CameraError::MonitoringError && error != CameraError::MonitoringUnavailable) {
        for (const auto& entry : kErrorTexts) {
            if (entry.error == error) {
                return error;
            }
        }
    }
    throw std::out_of_range("Unknown CameraError code: " + std::to_string(code));
}

HardwareException::HardwareException(std::string code, const std::string& message)
    : std::runtime_error(message), code_(std::move(code)) {}

std::string to_string(ImportStatus status) {
    static const char* const texts[] = {
        "no import task", "unknown",        "importing", "verifying package integrity",
        "completed",      "fail to import", "unknown",   "fail to verify"};
    return statusText(texts, std::size(texts), static_cast<std::uint8_t>(status));
}

std::string to_string(ExportStatus status) {
    static const char* const texts[] = {"no export task",  "in progress", "unknown",
                                        "completed",       "unknown",     "unknown",
                                        "fail to generate"};
    return statusText(texts, std::size(texts), static_cast<std::uint8_t>(status));
}

std::string to_string(UpgradeStatus status) {
    static const char* const texts[] = {"no upgrade task",  "transferring",  "upgrading",
                                        "verifying",        "completed",     "fail to upgrade",
                                        "fail to transfer", "fail to verify"};
    return statusText(texts, std::size(texts), static_cast<std::uint8_t>(status));
}

bool is_terminal_failure(ImportStatus status) {
    const auto value = static_cast<std::uint8_t>(status);
    return value == 5 || value == 7;
}

bool is_export_failure(ExportStatus status) {
    const auto value = static_cast<std::uint8_t>(status);
    return value == 4 || value == 6;
}

bool is_upgrade_failure(UpgradeStatus status) {
    const auto value = static_cast<std::uint8_t>(status);
    return value >= 5 && value <= 7;
}

}  // namespace korvane::Utils::Errors
