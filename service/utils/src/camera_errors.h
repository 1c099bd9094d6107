#pragma once
// The vocabulary of camera results shared by the whole Agent: the camera's error codes with
// their texts, the exception thrown for a failed camera operation, and the status values of
// the camera's long-running jobs (template export and import, firmware upgrade). Stateless;
// safe from any thread.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace korvane::Utils::Errors {

enum class CameraError : int {
    MonitoringUnavailable = -10002,
    MonitoringError = -10001,
    AlgorithmApiError = -6500,
    SyncTimeout = -6214,
    ParameterError = -6213,
    LoginFailed = -6212,
    FileVerificationFailed = -6211,
    UnknownMistake = -6210,
    AlgorithmApiTimeout = -6209,
    NetworkError = -6207,
    FileWriteFailed = -6204,
    FileWriteFailedToo = -6203,
    FileNotFound = -6202,
    JsonParsingFailed = -6200,
    AppUpdateFailed = -6144,
    EngineVersionMismatch = -6143,
    DeviceMismatch = -6142,
    StoreMismatch = -6141,
    FileFormatMismatch = -6140,
    FirmwareMismatch = -6138,
    UnknownUpdateError = -6137,
    ResetRejectedWhileUpdating = -6134,
    DownloadFailed = -6133,
    DownloadVerificationFailed = -6132,
    AlreadyLatestVersion = -6131,
    DownloadNotStarted = -6130,
    DeviceNotActivated = -6128,
    StoreVerificationFailed = -6127,
    StoreIdFormatError = -6126,
    DeviceActivated = -6124,
    UnknownCommand = -6117,
    UpdateFailed = -6109,
    CameraLost = -6103,
};

// The text of a code; "Unrecognized CameraError" for a value outside the table.
std::string toString(CameraError error);
// The enumerator of a camera code; every code from -6500 to -6401 is AlgorithmApiError.
// Throws std::out_of_range "Unknown CameraError code: <code>" for any other value, the
// Agent's own monitoring codes -10001 and -10002 included.
CameraError toCameraError(int code);

// A camera operation that failed inside a remote task: code() is the code as decimal text,
// what() the message.
class HardwareException : public std::runtime_error {
  public:
    HardwareException(std::string code, const std::string& message);
    const std::string& code() const noexcept { return code_; }

  private:
    std::string code_;
};

enum class ImportStatus : std::uint8_t {
    None = 0,
    Importing = 2,
    Verifying = 3,
    Completed = 4,
    Failed = 5,
    VerifyFailed = 7,
};

enum class ExportStatus : std::uint8_t {
    None = 0,
    InProgress = 1,
    Completed = 3,
    // 4 carries no text of its own but ends the job as a failure.
    Failed = 4,
    GenerateFailed = 6,
};

enum class UpgradeStatus : std::uint8_t {
    None = 0,
    Transferring = 1,
    Upgrading = 2,
    Verifying = 3,
    Completed = 4,
    Failed = 5,
    TransferFailed = 6,
    VerifyFailed = 7,
};

// Texts of the job states; "unknown" for every value without one.
std::string to_string(ImportStatus status);
std::string to_string(ExportStatus status);
std::string to_string(UpgradeStatus status);

// Whether the job has ended in failure and polling should stop.
bool is_terminal_failure(ImportStatus status);
bool is_export_failure(ExportStatus status);
bool is_upgrade_failure(UpgradeStatus status);

}  // namespace korvane::Utils::Errors
