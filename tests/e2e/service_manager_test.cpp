// The real binary as a service manager runs it: notifications on a datagram socket standing in
// for systemd, and a start without HOME.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "agent_process.h"
#include "http_client.h"
#include "notify_socket.h"
#include "temp_dir.h"

using namespace korvane::Testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

const std::string kLockFile = "/tmp/korvane_pellix_agent.lock";

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
