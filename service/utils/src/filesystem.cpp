#include "filesystem.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <system_error>

namespace korvane::Utils::Filesystem {

namespace {

constexpr const char* kAppDataBelowHome = "/.local/share/KORVANE/PellixAgent/";
constexpr const char* kDocumentsBelowHome = "/Documents/KORVANE/PellixAgent/";

// The home directory of the effective user as the password database records it, or "" when
// the user has no entry (or an empty one).
std::string passwordDatabaseHome() {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
    passwd entry{};
    passwd* found = nullptr;
    int error = 0;
    while ((error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found)) ==
               ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr) {
        return {};
    }
    return found->pw_dir;
}

// A service manager may start the Agent without HOME; the account's own home then keeps the
// data out of the working directory (which for a service is "/").
std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return home;
    }
    std::string fromPasswd = passwordDatabaseHome();
    if (fromPasswd.empty()) {
        static std::once_flag warned;
        std::call_once(warned, [] {
            std::cerr << "HOME is not set and user " << ::geteuid()
                      << " has no home directory in the password database; the Agent's files "
                         "go to the working directory"
                      << std::endl;
        });
    }
    return fromPasswd;
}

// Paths are joined as plain text on purpose: callers and operators see exactly what HOME says,
// and without any home the paths degrade to ones relative to the working directory instead of
// failing.
std::string underHome(const char* suffix) {
    const std::string home = homeDirectory();
    if (home.empty()) {
        return {};
    }
    return home + suffix;
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
        if (out) {
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
            out.close();
        }
        if (!out || out.fail()) {
            // A write cut short (a full disk) must not leave a partial picture to be uploaded.
            std::error_code ignored;
            std::filesystem::remove(target, ignored);
            return false;
        }
        return true;
    } catch (...) {
        // Saving an image is best effort for its callers; a failure is reported, never thrown.
        return false;
    }
}

}  // namespace korvane::Utils::Filesystem
