#include "agent_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "http_client.h"
#include "temp_dir.h"

namespace korvane::Testing {

namespace {
std::vector<char*> cStrings(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}
}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::string& outputDir) {
    static int counter = 0;
    const std::string stem = outputDir + "/child" + std::to_string(++counter);
    stdoutPath_ = stem + ".out";
    stderrPath_ = stem + ".err";
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envp = env;
    auto argvPointers = cStrings(argv);
    auto envPointers = cStrings(envp);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int out = open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(program.c_str(), argvPointers.data(), envPointers.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (running()) {
        kill(pid_, SIGKILL);
        waitForExit(std::chrono::seconds(5));
    }
}

void ChildProcess::signal(int signal) const {
    kill(pid_, signal);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int raw = 0;
        pid_t done = waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            break;
        }
        if (std::chrono::steady_clock::now() >= end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

bool ChildProcess::running() {
    return !waitForExit(std::chrono::milliseconds(0));
}

std::string ChildProcess::stdoutText() const {
    return readFile(stdoutPath_);
}
std::string ChildProcess::stderrText() const {
    return readFile(stderrPath_);
}

bool agentAnswers() {
    try {
        // Any answer will do: a failing check still means the Agent serves.
        const int status =
            httpRequest(kAgentPort, "GET", "/healthz", "", "", std::chrono::milliseconds(500))
                .status;
        return status == 200 || status == 503;
    } catch (...) {
        return false;
    }
}

std::vector<std::string> agentEnvironment(const std::string& home,
                                          const std::vector<std::string>& extra) {
    std::vector<std::string> env{"HOME=" + home};
    if (const char* path = std::getenv("PATH")) env.push_back(std::string("PATH=") + path);
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "TZ"}) {
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    // An extra entry replaces an inherited one of the same name.
    for (const auto& entry : extra) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(env, [&](const std::string& kept) { return kept.starts_with(name); });
        env.push_back(entry);
    }
    return env;
}

std::string agentLogText(const std::string& home) {
    std::string text;
    std::error_code error;
    const std::string folder = home + "/.local/share/KORVANE/PellixAgent/logs";
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        text += readFile(entry.path().string());
    }
    return text;
}

std::unique_ptr<ChildProcess> launchAgent(const std::string& binary, const std::string& home,
                                          const boost::json::object* config,
                                          const std::vector<std::string>& environment,
                                          const std::string& outputDir) {
    const std::string data = home + "/.local/share/KORVANE/PellixAgent";
    std::filesystem::create_directories(data);
    if (config != nullptr) writeFile(data + "/config.json", boost::json::serialize(*config));
    return std::make_unique<ChildProcess>(binary, std::vector<std::string>{},
                                          agentEnvironment(home, environment), outputDir);
}

void stopAgentProcess(std::unique_ptr<ChildProcess>& agent) {
    if (!agent) return;
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->waitForExit(std::chrono::seconds(20)), std::optional<int>(0));
    agent.reset();
}

std::string confirmWeighing() {
    const auto result = boost::json::parse(httpRequest(kAgentPort, "GET", "/api/get_result").body);
    const std::string sid(result.at("data").at("sid").as_string());
    const auto& items = result.at("data").at("items").as_array();
    const boost::json::object feedback{
        {"sid", sid},
        {"id", items.empty() ? boost::json::value("0") : items.front().at("id")},
        {"product_weight", 0.25},
        {"method_of_selection", "manual"}};
    EXPECT_EQ(httpRequest(kAgentPort, "POST", "/api/result_feedback",
                          boost::json::serialize(feedback), "application/json")
                  .body,
              R"({"code":0,"data":null})");
    return sid;
}

}  // namespace korvane::Testing
