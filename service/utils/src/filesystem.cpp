#include "filesystem.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace korvane::Utils::Filesystem {

namespace {

constexpr const char* kAppDataBelowHome = "/.local/share/KORVANE/PellixAgent/";
constexpr const char* kDocumentsBelowHome = "/Documents/KORVANE/PellixAgent/";

// Paths are joined as plain text on purpose: callers and operators see exactly what HOME says,
// and an unset HOME degrades to paths relative to the working directory instead of failing.
std::string underHome(const char* suffix) {
    const char* home = std::getenv("HOME");
    if (home == nullptr) {
        return {};
    }
    return std::string(home) + suffix;
}

// A file name must stay inside its folder; anything that could walk out of it (or name the
// folder itself) is refused rather than written somewhere unexpected.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

}  // namespace

std::string GetAppData() {
    return underHome(kAppDataBelowHome);
}

std::string GetDocumentsDirectory() {
    return underHome(kDocumentsBelowHome);
}

std::string GetLogDirectory() {
    return GetAppData() + "logs";
}

std::string GetDefaultDBPath() {
    return GetAppData() + "service.db";
}

std::string GetDefaultConfigPath() {
    return GetAppData() + "config.json";
}

std::string GetDefaultImagesPath() {
    std::string path = GetDocumentsDirectory() + "images";
    // Only the last level: the documents folder belongs to the user and is never created here.
    static_cast<void>(CreateDirectoryIfNotExists(path));
    return path;
}

std::string GetExecutableDir() {
    std::array<char, 4096> buffer{};
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    // A target that fills the whole buffer may have been cut off, so it cannot be trusted.
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) {
        return {};
    }
    std::string target(buffer.data(), static_cast<std::size_t>(length));
    const auto slash = target.rfind('/');
    if (slash == std::string::npos) {
        return target;
    }
    return target.substr(0, slash + 1);
}

bool CreateDirectoryIfNotExists(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) {
        return true;
    }
    if (errno != EEXIST) {
        return false;
    }
    // A regular file of that name is not a usable directory.
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool SaveEncodedImage(const std::string& name, const std::vector<std::uint8_t>& bytes,
                      const std::string& dir) {
    try {
        if (!isPlainFileName(name)) {
            return false;
        }
        std::string folder = dir;
        if (folder.empty()) {
            folder = std::filesystem::path(GetLogDirectory()).parent_path().string();
        }
        std::string target;
        if (folder.empty()) {
            // Without HOME the data folder is the working directory; a leading slash would
            // put the file in the root directory instead.
            target = name;
        } else {
            std::error_code error;
            std::filesystem::create_directories(folder, error);
            if (error) {
                return false;
            }
            target = folder + "/" + name;
        }
        std::ofstream out(target, std::ios::binary | std::ios::out | std::ios::trunc);
        if (!out) {
            return false;
        }
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        return !out.fail();
    } catch (...) {
        // Saving an image is best effort for its callers; a failure is reported, never thrown.
        return false;
    }
}

}  // namespace korvane::Utils::Filesystem
