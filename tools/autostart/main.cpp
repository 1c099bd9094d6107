// Writes the file that makes the Agent start automatically and tells the operator where it
// went. Usage: korvanepellixagent-autostart service|autostart [executable-path]

#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "demonizer.h"
#include "filesystem.h"

namespace {

using korvane::Engine::Mode;
namespace Demonizer = korvane::Engine::Demonizer;

int usage() {
    std::cerr << "usage: korvanepellixagent-autostart service|autostart [executable-path]\n";
    return 2;
}

// The tool is built into <build>/tools and the Agent into <build>, so the default points
// one folder up. Service managers require an absolute path.
std::string resolveExecutable(int argc, char** argv) {
    if (argc == 3) return std::filesystem::absolute(argv[2]).lexically_normal().string();
    const std::string toolDir = korvane::Utils::Filesystem::GetExecutableDir();
    if (toolDir.empty()) return {};
    return std::filesystem::weakly_canonical(toolDir + "../korvanepellixagent").string();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) return usage();
    const std::string modeName = argv[1];
    Mode mode;
    if (modeName == "service") {
        mode = Mode::Service;
    } else if (modeName == "autostart") {
        mode = Mode::Autostart;
    } else {
        return usage();
    }

    try {
        const std::string execPath = resolveExecutable(argc, argv);
        if (execPath.empty()) {
            std::cerr << "cannot locate the Agent binary; pass its path explicitly\n";
            return 2;
        }
        const std::string target = Demonizer::TargetPath(mode);
        Demonizer::Setup(execPath, mode, target);

        // Setup does not report write failures, so the result is checked by reading it back.
        const std::string expected = Demonizer::FileText(execPath, mode);
        if (readFile(target) != expected) {
            std::cerr << "could not write " << target
                      << " (missing folder or insufficient rights)\n";
            return 1;
        }
        std::cout << "Wrote " << target << ":\n" << expected;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << "\n";
        return 1;
    }
}
