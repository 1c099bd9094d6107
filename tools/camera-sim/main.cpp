// camera-sim: runs the camera simulator until SIGINT or SIGTERM.
#include <pthread.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#include "camera_simulator.h"

namespace {

constexpr const char* kUsage =
    "usage: camera-sim --port N [--host 127.0.0.1] [--state-dir DIR] [--job-step-ms N]\n"
    "                  [--seed N] [--verbose]\n";

long numberArg(const std::string& name, const std::string& text, long low, long high) {
    std::size_t used = 0;
    long value = 0;
    try {
        value = std::stol(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || value < low || value > high) {
        throw std::invalid_argument(name + " needs a number from " + std::to_string(low) + " to " +
                                    std::to_string(high) + ", got \"" + text + "\"");
    }
    return value;
}

korvane::CameraSim::CameraSimulator::Options parseArgs(int argc, char** argv) {
    korvane::CameraSim::CameraSimulator::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(0);
        }
        if (arg == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
        const std::string value = argv[++i];
        if (arg == "--port") {
            options.port = static_cast<std::uint16_t>(numberArg(arg, value, 0, 65535));
        } else if (arg == "--host") {
            options.host = value;
        } else if (arg == "--state-dir") {
            options.stateDir = value;
        } else if (arg == "--job-step-ms") {
            options.jobStepMs = static_cast<int>(numberArg(arg, value, 1, 600000));
        } else if (arg == "--seed") {
            options.seed = static_cast<unsigned>(numberArg(arg, value, 0, 4294967295L));
        } else {
            throw std::invalid_argument("unknown option " + arg);
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    korvane::CameraSim::CameraSimulator::Options options;
    try {
        options = parseArgs(argc, argv);
    } catch (const std::invalid_argument& e) {
        std::cerr << "camera-sim: " << e.what() << '\n' << kUsage;
        return 2;
    }

    // Block the stop signals before any thread starts, so every thread inherits the mask and
    // only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        korvane::CameraSim::CameraSimulator simulator(options);
        simulator.start();
        std::cout << "camera-sim listening on " << simulator.host() << ':' << simulator.port()
                  << std::endl;
        int received = 0;
        sigwait(&stopSignals, &received);
        simulator.stop();
    } catch (const std::exception& e) {
        std::cerr << "camera-sim: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
