// monitoring-sim: runs the monitoring service simulator until SIGINT or SIGTERM.
#include <pthread.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#include "monitoring_simulator.h"

namespace {

using korvane::MonitoringSim::MonitoringSimulator;

constexpr const char* kUsage =
    "usage: monitoring-sim [--port N] [--host 127.0.0.1] [--secret TEXT] [--expires-in S]\n"
    "                      [--refresh-expires-in S] [--cert FILE --key FILE] [--no-bearer]\n"
    "                      [--empty-directory] [--control-port N] [--verbose]\n";

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

MonitoringSimulator::Options parseArgs(int argc, char** argv) {
    MonitoringSimulator::Options options;
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
        if (arg == "--no-bearer") {
            options.requireBearer = false;
            continue;
        }
        if (arg == "--empty-directory") {
            options.seedDirectory = false;
            continue;
        }
        if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
        const std::string value = argv[++i];
        if (arg == "--port") {
            options.port = static_cast<std::uint16_t>(numberArg(arg, value, 0, 65535));
        } else if (arg == "--control-port") {
            options.controlPort = static_cast<int>(numberArg(arg, value, 0, 65535));
        } else if (arg == "--host") {
            options.host = value;
        } else if (arg == "--secret") {
            options.clientSecret = value;
        } else if (arg == "--expires-in") {
            options.expiresIn = static_cast<int>(numberArg(arg, value, -86400, 86400));
        } else if (arg == "--refresh-expires-in") {
            options.refreshExpiresIn = static_cast<int>(numberArg(arg, value, -86400, 864000));
        } else if (arg == "--cert") {
            options.certificateFile = value;
        } else if (arg == "--key") {
            options.privateKeyFile = value;
        } else {
            throw std::invalid_argument("unknown option " + arg);
        }
    }
    if (options.certificateFile.empty() != options.privateKeyFile.empty()) {
        throw std::invalid_argument("--cert and --key go together");
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    MonitoringSimulator::Options options;
    try {
        options = parseArgs(argc, argv);
    } catch (const std::invalid_argument& e) {
        std::cerr << "monitoring-sim: " << e.what() << '\n' << kUsage;
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
        MonitoringSimulator simulator(options);
        simulator.start();
        std::cout << "monitoring-sim listening on " << simulator.baseUrl() << std::endl;
        if (options.controlPort >= 0) {
            std::cout << "monitoring-sim control on http://" << simulator.host() << ':'
                      << simulator.controlPort() << std::endl;
        }
        int received = 0;
        sigwait(&stopSignals, &received);
        simulator.stop();
    } catch (const std::exception& e) {
        std::cerr << "monitoring-sim: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
