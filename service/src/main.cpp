// The Agent's process: refuses a second instance, sets up logging, starts the Server on a
// thread of its own and parks the main thread until SIGINT or SIGTERM, on which the main
// thread (never the signal handler) runs the shutdown sequence.
#include <signal.h>
#include <time.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>

#include "agent_utils.h"
#include "build_constants.h"
#include "filesystem.h"
#include "logger.h"
#include "server.h"
#include "single_instance.h"
#include "systemd_notifier.h"

namespace {

using korvane::Log;
using korvane::Engine::Service::SystemdNotifier;
using korvane::Engine::Test::Server;
namespace SingleInstance = korvane::Engine::SingleInstance;
namespace BuildConstants = korvane::Utils::BuildConstants;

std::unique_ptr<Server> server_ptr;
std::optional<std::thread> server_thread;
std::unique_ptr<SystemdNotifier> notifier;
volatile std::sig_atomic_t g_received_signal = 0;

void onSignal(int signal) {
    g_received_signal = signal;
}

// Worker threads inherit the mask of the thread that creates them; with the stop signals
// blocked before the Server exists, only the parked main thread ever receives them.
void setStopSignalsBlocked(bool blocked) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void logBanner() {
    Log()->info(
        "\n\n\nStarting Korvane Pellix Agent on {}:{} with prebuild constants: \n "
        "build_date(global "
        "time): {},\n os: {},\n app version: {};\n\n",
        korvane::Utils::getLocalIP(), BuildConstants::pellix_agent_port,
        korvane::Utils::utc_format(BuildConstants::pellix_agent_build_date, false),
        BuildConstants::pellix_agent_os_type, BuildConstants::pellix_agent_version);
}

void start_server() {
    if (server_thread && server_thread->joinable()) return;
    try {
        const auto port = static_cast<std::uint16_t>(std::stoi(BuildConstants::pellix_agent_port));
        server_ptr = std::make_unique<Server>(port, korvane::Utils::Filesystem::GetDefaultDBPath());
        server_thread.emplace([] {
            try {
                server_ptr->Run();
            } catch (const std::exception& e) {
                Log()->error("Server thread crashed: {}", e.what());
            }
        });
        Log()->info("Pellix Agent's server started success");
    } catch (const std::exception& e) {
        Log()->error("Failed to create server: {}", e.what());
    }
}

// The self-check asks where the point-of-sale software would: the one address the API listens
// on, or this machine's loopback when it listens on every interface.
SystemdNotifier::SelfCheckTarget selfCheckTarget(const Server& server) {
    const std::string& address = server.listeningAddress();
    return {address == "0.0.0.0" ? "127.0.0.1" : address, server.port()};
}

// Without a server the local API never answers, so systemd is never told the Agent is ready.
void start_notifier() {
    if (!server_ptr || !SystemdNotifier::requested()) return;
    notifier = std::make_unique<SystemdNotifier>(
        selfCheckTarget(*server_ptr), [] { return server_ptr->cameraConnected(); },
        server_ptr->listeningProblem());
    notifier->start();
}

// A request still at work when the stop began (a long camera transfer, a slow monitoring call)
// must not keep the process from ending: after this long it ends without waiting further.
// What is committed in the database stays; what is not was never answered as done.
constexpr std::chrono::milliseconds kShutdownLimit{4500};

void endShutdownInTime() {
    std::thread([] {
        std::this_thread::sleep_for(kShutdownLimit);
        Log()->warn("Shutdown still waiting after {} ms; ending now;", kShutdownLimit.count());
        Log()->flush();
        SingleInstance::ReleaseLock();
        std::_Exit(0);
    }).detach();
}

[[noreturn]] void shutdown(int signal) {
    Log()->info("Received signal {}, shutting down...", signal);
    endShutdownInTime();
    // Stopped first: its checks call into the server, which is gone below.
    notifier.reset();
    if (server_ptr) server_ptr->Stop();
    if (server_thread && server_thread->joinable()) server_thread->join();
    server_thread.reset();
    server_ptr.reset();
    SingleInstance::ReleaseLock();
    std::exit(0);
}

[[noreturn]] void run_headless_mode() {
    const char* notice = "Running in headless service mode (fallback from tray mode)";
    Log()->info(notice);
    std::cout << notice << std::endl;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    setStopSignalsBlocked(false);
    while (g_received_signal == 0) {
        // Unlike sleep_for, nanosleep returns as soon as a signal interrupts it.
        timespec second{1, 0};
        nanosleep(&second, nullptr);
    }
    shutdown(g_received_signal);
}

int main_function() {
    if (auto running = SingleInstance::FindRunningRelated()) {
        SingleInstance::ShowMessage(SingleInstance::AlreadyRunningMessage(*running));
        return 1;
    }
    if (SingleInstance::AcquireLock() == SingleInstance::LockResult::HeldByAnother) {
        SingleInstance::ShowMessage(SingleInstance::AlreadyRunningMessage("korvanepellixagent"));
        return 1;
    }
    // A client that hangs up mid-answer must cost one request, never the process.
    std::signal(SIGPIPE, SIG_IGN);
    setStopSignalsBlocked(true);

    try {
        korvane::Engine::Logging::Logger::GetInstance().Initialize(
            korvane::Utils::Filesystem::GetLogDirectory());
    } catch (const std::exception& e) {
        // Without its data folder the Agent can neither log nor open its database; exiting
        // lets a supervisor restart it once the folder is writable again.
        std::cerr << "Cannot set up the log folder "
                  << korvane::Utils::Filesystem::GetLogDirectory() << ": " << e.what() << std::endl;
        SingleInstance::ReleaseLock();
        return 1;
    }
    logBanner();
    start_server();
    start_notifier();
    run_headless_mode();
}

}  // namespace

int main() {
    return main_function();
}
