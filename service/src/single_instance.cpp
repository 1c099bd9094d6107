#include "single_instance.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iostream>

namespace korvane::Engine::SingleInstance {

namespace {

int g_lock_fd = -1;
std::string g_lock_path;  // set only while this process holds the lock

constexpr std::array<const char*, 2> kRelated = {"korvanemonitoringagent", "korvanepellixagent"};

std::string toLowerAscii(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool isAllDigits(const char* name) {
    if (*name == '\0') return false;
    for (; *name; ++name) {
        if (!std::isdigit(static_cast<unsigned char>(*name))) return false;
    }
    return true;
}

std::string fileNameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string shellSingleQuoted(const std::string& text) {
    std::string quoted;
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted;
}

}  // namespace

std::string GetProcExePath(const std::string& pid) {
    std::array<char, 4096> buffer{};
    const std::string link = "/proc/" + pid + "/exe";
    ssize_t length = readlink(link.c_str(), buffer.data(), buffer.size() - 1);
    if (length < 0) return "";
    return std::string(buffer.data());
}

bool IsProcessRunning(const std::string& name, const std::string& procDir) {
    const std::string wanted = toLowerAscii(name);
    const long self = static_cast<long>(getpid());
    DIR* dir = opendir(procDir.c_str());
    if (!dir) return false;
    bool running = false;
    while (dirent* entry = readdir(dir)) {
        if (!isAllDigits(entry->d_name)) continue;
        if (std::strtol(entry->d_name, nullptr, 10) == self) continue;
        if (toLowerAscii(fileNameOf(GetProcExePath(entry->d_name))) == wanted) {
            running = true;
            break;
        }
    }
    closedir(dir);
    return running;
}

std::optional<std::string> FindRunningRelated() {
    for (const char* name : kRelated) {
        if (IsProcessRunning(name)) return std::string(name);
    }
    return std::nullopt;
}

std::string AlreadyRunningMessage(const std::string& name) {
    return "Процесс агента уже запущен: " + name + "\nТекущая попытка запуска будет прервана.";
}

void ShowMessage(const std::string& text) {
    std::cerr << text << std::endl;
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) return;
    const std::string quoted = shellSingleQuoted(text);
    const std::string commands[] = {
        "zenity --warning --title='Korvane Pellix Agent' --text='" + quoted + "' 2>/dev/null",
        "kdialog --sorry '" + quoted + "' --title 'Korvane Pellix Agent' 2>/dev/null",
        "xmessage -center '" + quoted + "' 2>/dev/null",
    };
    for (const auto& command : commands) {
        if (std::system(command.c_str()) == 0) return;
    }
}

LockResult AcquireLock(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return LockResult::Unavailable;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return error == EWOULDBLOCK ? LockResult::HeldByAnother : LockResult::Unavailable;
    }
    g_lock_fd = fd;
    g_lock_path = path;
    // The lock itself is what guards; the pid inside is a courtesy to the operator, so a
    // failed write changes nothing.
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0) {
        [[maybe_unused]] ssize_t written = write(fd, pid.data(), pid.size());
    }
    return LockResult::Held;
}

void ReleaseLock() {
    if (g_lock_fd < 0) return;
    // Unlink while still holding the lock: a starter that opened the old file meanwhile finds
    // it locked and refuses, and one that comes later creates a fresh file.
    unlink(g_lock_path.c_str());
    g_lock_path.clear();
    flock(g_lock_fd, LOCK_UN);
    close(g_lock_fd);
    g_lock_fd = -1;
}

}  // namespace korvane::Engine::SingleInstance
