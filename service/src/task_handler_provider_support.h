#pragma once
// What the remote task handlers share among their source files: the failure texts the service
// shows its operators, strict readers of a task's members, and private temporary files. Internal
// to TaskHandlerProvider, except TemporaryFile, which also holds the local API's uploads;
// stateless apart from TemporaryFile, which belongs to one handler call or request.

#include <boost/json/object.hpp>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "camera_errors.h"

namespace korvane::Engine::Sync::TaskSupport {

inline constexpr const char* kPayloadEmpty = "Ошибка обработки входных параметров";
inline constexpr const char* kStorageExpired = "Внутренняя ошибка работы с файловым хранилищем";
inline constexpr const char* kDriverExpired = "Внутренняя ошибка работы с устройством";
inline constexpr const char* kFileAccess = "Внутренняя ошибка работы с запрашиваемым файлом";
inline constexpr const char* kCommandFailed = "Ошибка при выполнении команды: ";
inline constexpr const char* kDeviceLoadFailed = "Ошибка загрузки файла на устройство: ";
// Object names carry the time of the task in this local-time format.
inline constexpr const char* kNameTime = "%d-%m-%Y-%H-%M-%S";

std::string uploadFailed(const std::string& key);

// The member's value; boost::system::system_error naming the member when it is absent or of
// another type, as the JSON library reports such input.
std::string requireString(const boost::json::object& data, std::string_view name);
bool requireBool(const boost::json::object& data, std::string_view name);
int requireInt(const boost::json::object& data, std::string_view name);
const boost::json::value& requireMember(const boost::json::object& data, std::string_view name);

// Throws std::logic_error unless the files are to travel through object storage.
void requireObjectStorage(const std::string& exportType);

// The camera's text for a code, "Unrecognized CameraError" for a code it does not know (an HTTP
// status, for example).
std::string cameraErrorText(int code);
// A failed camera command: the code in decimal, prefix followed by the code's text.
Utils::Errors::HardwareException cameraFailure(int code, const std::string& prefix);

// The current local time in strftime format.
std::string localTime(const char* format);

// A file of the task's own in the system's temporary folder: a fresh name that no other task
// shares, readable and writable by the Agent's user only (it may hold the configuration with its
// secrets in clear). Removed when the object goes, unless an upload has already taken it.
class TemporaryFile {
  public:
    // prefix + random part + suffix; null when the file cannot be created.
    static std::unique_ptr<TemporaryFile> create(const std::string& prefix,
                                                 const std::string& suffix);
    // What create() tried to make, for the failure log.
    static std::string pattern(const std::string& prefix, const std::string& suffix);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& path() const { return path_; }
    // Writes the whole content and closes the file; false when any of it failed.
    bool write(std::string_view content);
    // Adds content at the end and keeps the file open for more; false when it failed.
    bool append(std::string_view content);
    void remove();

  private:
    TemporaryFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    void close();

    std::string path_;
    int fd_;
};

}  // namespace korvane::Engine::Sync::TaskSupport
