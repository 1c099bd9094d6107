// The real binary as a service manager runs it: notifications on a datagram socket standing in
// for systemd (readiness, status, a watchdog that stops while the API is wedged, stopping), and
// a start without HOME.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "agent_process.h"
#include "http_client.h"
#include "temp_dir.h"

using namespace korvane::Testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

const std::string kLockFile = "/tmp/korvane_pellix_agent.lock";

// Stands in for systemd's notification socket: one datagram per sd_notify call.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path)
        : path_(path), fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            throw std::runtime_error("cannot bind " + path);
        }
        timeval step{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &step, sizeof(step));
    }
    ~NotifySocket() { close(fd_); }
    std::string environmentEntry() const { return "NOTIFY_SOCKET=" + path_; }

    // The next datagram holding the line `assignment` (skipping others), or nullopt when none
    // arrives before the deadline.
    std::optional<std::string> waitFor(const std::string& assignment,
                                       std::chrono::milliseconds deadline) {
        for (const auto end = Clock::now() + deadline; Clock::now() < end;) {
            char buffer[4096];
            const ssize_t size = recv(fd_, buffer, sizeof(buffer), 0);
            if (size <= 0) continue;
            std::string message(buffer, static_cast<std::size_t>(size));
            received_ += message + "\n";
            if (("\n" + message + "\n").find("\n" + assignment + "\n") != std::string::npos) {
                return message;
            }
        }
        return std::nullopt;
    }
    const std::string& received() const { return received_; }

  private:
    std::string path_;
    int fd_;
    std::string received_;
};

// Connections that never send a request, as many as the Agent has workers and more.
class IdleConnections {
  public:
    explicit IdleConnections(int count) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kAgentPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
            fds_.push_back(fd);
        }
    }
    ~IdleConnections() {
        for (int fd : fds_) close(fd);
    }

  private:
    std::vector<int> fds_;
};

// A hung request path: every thread of the Agent but its main thread and the self-check is
// stopped (ptrace stops single threads), so connections are neither accepted nor served.
class FrozenWorkers {
  public:
    explicit FrozenWorkers(pid_t pid) {
        for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
            const pid_t tid = std::stoi(task.path().filename().string());
            std::ifstream comm(task.path() / "comm");
            std::string name;
            std::getline(comm, name);
            if (tid == pid || name == "self-check") continue;
            if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) continue;
            ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
            int status = 0;
            waitpid(tid, &status, __WALL);
            frozen_.push_back(tid);
        }
    }
    ~FrozenWorkers() {
        for (pid_t tid : frozen_) ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
    }
    std::size_t count() const { return frozen_.size(); }

  private:
    std::vector<pid_t> frozen_;
};

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class AgentServiceManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(agentAnswers()) << "something already serves port 5555";
        fs::remove(kLockFile);
    }
    void TearDown() override { fs::remove(kLockFile); }

    TempDir home_;
    TempDir output_;
};

}  // namespace

TEST_F(AgentServiceManagerTest, TellsSystemdReadyStatusWatchdogAndStopping) {
    NotifySocket systemd(output_.file("notify"));
    // A two-second watchdog asks for a ping every second.
    ChildProcess agent(KORVANE_AGENT_BINARY, {},
                       agentEnvironment(home_.path().string(),
                                        {systemd.environmentEntry(), "WATCHDOG_USEC=2000000"}),
                       output_.path().string());

    const auto ready = systemd.waitFor("READY=1", 20s);
    ASSERT_TRUE(ready) << systemd.received() << agent.stderrText();
    EXPECT_TRUE(agentAnswers()) << "ready before the local API answers";
    EXPECT_NE(ready->find("STATUS=Serving on port 5555; camera "), std::string::npos) << *ready;
    EXPECT_NE(ready->find("; 0 recognitions and 0 alerts waiting to be sent"), std::string::npos)
        << *ready;

    std::vector<Clock::time_point> pings;
    while (pings.size() < 4 && systemd.waitFor("WATCHDOG=1", 5s)) pings.push_back(Clock::now());
    ASSERT_EQ(pings.size(), 4u) << systemd.received();
    // Three intervals of half the watchdog time each; a full-period or runaway pinger misses.
    const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(pings[3] - pings[0]);
    EXPECT_GE(span, 2500ms);
    EXPECT_LE(span, 4500ms);

    {
        // Outside clients cannot take the workers kept for the self-check.
        IdleConnections crowd(400);
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(systemd.waitFor("WATCHDOG=1", 2500ms)) << "starved by a crowd";
        }
    }
    {
        FrozenWorkers hung(agent.pid());
        ASSERT_GT(hung.count(), 3u);
        ASSERT_TRUE(systemd.waitFor("STATUS=The local API does not answer", 10s))
            << systemd.received();
        EXPECT_FALSE(systemd.waitFor("WATCHDOG=1", 2500ms)) << "pinged while nobody was served";
    }
    // Retried every second, not only at the next ping slot.
    const auto released = Clock::now();
    EXPECT_TRUE(systemd.waitFor("WATCHDOG=1", 10s)) << "no ping once the API answered again";
    EXPECT_LT(Clock::now() - released, 2500ms);

    agent.signal(SIGTERM);
    EXPECT_TRUE(systemd.waitFor("STOPPING=1", 10s)) << systemd.received();
    EXPECT_EQ(agent.waitForExit(15s), std::optional<int>(0));
    EXPECT_EQ(occurrences(systemd.received(), "READY=1"), 1u) << systemd.received();
}

// Run as an account the password database does not know, the Agent falls back to its working
// directory and says so; the fallback to a known account's home is exercised by the package test.
TEST_F(AgentServiceManagerTest, WithoutHomeOrAccountTheWorkingDirectoryHoldsTheData) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the Agent under an unknown uid";
    uid_t unknown = 61000;
    while (getpwuid(unknown) != nullptr) ++unknown;
    fs::permissions(home_.path(), fs::perms::all);
    // The build tree may sit below a home the unknown account cannot enter.
    fs::permissions(output_.path(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
    const std::string binary = output_.file("korvanepellixagent");
    fs::copy_file(KORVANE_AGENT_BINARY, binary);
    const std::string id = std::to_string(unknown);
    std::vector<std::string> env;
    if (const char* path = std::getenv("PATH")) env.push_back(std::string("PATH=") + path);

    ChildProcess agent("/usr/bin/setpriv",
                       {"--reuid=" + id, "--regid=" + id, "--clear-groups", "/usr/bin/env", "-C",
                        home_.path().string(), binary},
                       env, output_.path().string());
    ASSERT_TRUE(waitUntil(agentAnswers, 20s)) << agent.stderrText();
    EXPECT_TRUE(fs::exists(home_.file("service.db")));
    EXPECT_TRUE(fs::is_directory(home_.file("logs")));
    EXPECT_NE(agent.stderrText().find("HOME is not set and user " + id +
                                      " has no home directory in the password database"),
              std::string::npos)
        << agent.stderrText();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitForExit(15s), std::optional<int>(0));
}
