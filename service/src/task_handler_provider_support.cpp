#include "task_handler_provider_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/json/error.hpp>
#include <boost/system/system_error.hpp>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "file_slice.h"
#include "logger.h"

namespace korvane::Engine::Sync::TaskSupport {

std::string uploadFailed(const std::string& key) {
    return "Ошибка подключения к файловому хранилищу " + key + " и загрузки файла в него";
}

namespace {

[[noreturn]] void throwJsonError(boost::json::error error, std::string_view name) {
    throw boost::system::system_error(make_error_code(error), std::string(name));
}

}  // namespace

const boost::json::value& requireMember(const boost::json::object& data, std::string_view name) {
    const auto* value = data.if_contains(name);
    if (value == nullptr) throwJsonError(boost::json::error::not_found, name);
    return *value;
}

std::string requireString(const boost::json::object& data, std::string_view name) {
    const auto& value = requireMember(data, name);
    if (!value.is_string()) throwJsonError(boost::json::error::not_string, name);
    return std::string(value.get_string());
}

bool requireBool(const boost::json::object& data, std::string_view name) {
    const auto& value = requireMember(data, name);
    if (!value.is_bool()) throwJsonError(boost::json::error::not_bool, name);
    return value.get_bool();
}

int requireInt(const boost::json::object& data, std::string_view name) {
    boost::system::error_code error;
    const int number = requireMember(data, name).to_number<int>(error);
    if (error) throw boost::system::system_error(error, std::string(name));
    return number;
}

void requireObjectStorage(const std::string& exportType) {
    if (exportType == "s3") return;
    Log()->error(
        "Unable to handle upload config file with export type={}, so task will be canceled;",
        exportType);
    throw std::logic_error("Неподдерживаемый тип файлового хранилища");
}

std::string cameraErrorText(int code) {
    using namespace Utils::Errors;
    try {
        return toString(toCameraError(code));
    } catch (const std::out_of_range&) {
        return toString(static_cast<CameraError>(code));
    }
}

Utils::Errors::HardwareException cameraFailure(int code, const std::string& prefix) {
    return Utils::Errors::HardwareException(std::to_string(code), prefix + cameraErrorText(code));
}

std::string localTime(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
    return std::string(buffer, length);
}

std::string TemporaryFile::pattern(const std::string& prefix, const std::string& suffix) {
    std::error_code error;
    const auto dir = std::filesystem::temp_directory_path(error);
    return ((error ? std::filesystem::path("/tmp") : dir) / (prefix + "XXXXXX" + suffix)).string();
}

std::unique_ptr<TemporaryFile> TemporaryFile::create(const std::string& prefix,
                                                     const std::string& suffix) {
    std::string path = pattern(prefix, suffix);
    // mkstemps creates the file exclusively with mode 0600, so neither a second task nor another
    // user can open or pre-create it.
    const int fd = ::mkstemps(path.data(), static_cast<int>(suffix.size()));
    if (fd < 0) return nullptr;
    return std::unique_ptr<TemporaryFile>(new TemporaryFile(std::move(path), fd));
}

TemporaryFile::~TemporaryFile() {
    remove();
}

bool TemporaryFile::append(std::string_view content) {
    return fd_ >= 0 && Utils::writeAll(fd_, content);
}

bool TemporaryFile::write(std::string_view content) {
    bool ok = append(content);
    if (fd_ >= 0 && ::close(fd_) != 0) ok = false;
    fd_ = -1;
    return ok;
}

void TemporaryFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TemporaryFile::remove() {
    close();
    std::error_code ignored;  // an upload that succeeded has taken the file already
    std::filesystem::remove(path_, ignored);
}

}  // namespace korvane::Engine::Sync::TaskSupport
