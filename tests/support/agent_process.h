#pragma once
// Runs a program as a child process for end-to-end tests, with its own environment and its
// standard output and error captured in files. The destructor kills a child still running.

#include <sys/types.h>

#include <boost/json/fwd.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvane::Testing {

class ChildProcess {
  public:
    // env entries are "NAME=value"; they replace the whole environment.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, const std::string& outputDir);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int signal) const;
    // The exit status once the child has exited within the timeout; -1 when it was killed by
    // a signal, nullopt when it is still running.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    bool running();
    std::string stdoutText() const;
    std::string stderrText() const;

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string stdoutPath_;
    std::string stderrPath_;
};

// The Agent's fixed local API port: end-to-end tests that start the binary run one at a time.
inline constexpr std::uint16_t kAgentPort = 5555;

// Whether an Agent answers its health check on kAgentPort within half a second.
bool agentAnswers();

// The environment a test agent runs with: HOME set to home, PATH and the sanitizers' options
// kept, DISPLAY left out, and extra ("NAME=value") over them.
std::vector<std::string> agentEnvironment(const std::string& home,
                                          const std::vector<std::string>& extra = {});

// Everything in the log folder of an Agent run with HOME=home, file after file.
std::string agentLogText(const std::string& home);

// Starts the Agent binary with HOME=home and this environment on top of agentEnvironment's,
// first leaving config (when given) in its data folder as the config.json it imports. The
// caller waits for agentAnswers().
std::unique_ptr<ChildProcess> launchAgent(const std::string& binary, const std::string& home,
                                          const boost::json::object* config,
                                          const std::vector<std::string>& environment,
                                          const std::string& outputDir);
// SIGTERM, and expects exit status 0 within 20 s; nothing when agent is empty.
void stopAgentProcess(std::unique_ptr<ChildProcess>& agent);

// One weighing through the Agent on kAgentPort: get_result, then the cashier's confirmation of
// the first item it proposed (expected to answer code 0); returns the session id.
std::string confirmWeighing();

}  // namespace korvane::Testing
