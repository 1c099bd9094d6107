#include "demonizer.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace korvane::Engine::Demonizer {

// Any value other than Autostart selects the service unit, so a stray cast still produces
// a usable file rather than nothing.
std::string FileText(const std::string& execPath, Mode mode) {
    if (mode == Mode::Autostart) {
        return "[Desktop Entry]\nType=Application\nExec=" + execPath +
               "\nX-GNOME-Autostart-enabled=true\n";
    }
    return "[Unit]\nDescription=pellix Driver Daemon\n\n[Service]\nExecStart=" + execPath +
           "\nRestart=always\n\n[Install]\nWantedBy=multi-user.target\n";
}

std::string TargetPath(Mode mode) {
    if (mode != Mode::Autostart) return "/etc/systemd/system/pellix-driver.service";
    const char* home = std::getenv("HOME");
    if (home == nullptr) {
        throw std::runtime_error("HOME is not set; cannot locate the autostart folder");
    }
    return std::string(home) + "/.config/autostart/pellix-driver.desktop";
}

void Setup(const std::string& execPath, Mode mode, const std::string& targetPath) {
    // Callers that need to know the outcome read the file back; installation without the
    // required rights is an expected, non-fatal situation here.
    std::ofstream out(targetPath, std::ios::out | std::ios::trunc);
    out << FileText(execPath, mode);
}

void Setup(const std::string& execPath, Mode mode) {
    Setup(execPath, mode, TargetPath(mode));
}

}  // namespace korvane::Engine::Demonizer
