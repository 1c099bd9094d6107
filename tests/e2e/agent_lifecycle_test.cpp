// The real binary on the fixed port and lock file: start-up, single instance, shutdown, restart.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "agent_process.h"
#include "http_client.h"
#include "temp_dir.h"

using namespace korvane::Testing;
using namespace std::chrono_literals;

namespace {

const std::string kLockFile = "/tmp/korvane_pellix_agent.lock";
const std::string kAlreadyRunning = "Процесс агента уже запущен: ";
const std::string kAborted = "\nТекущая попытка запуска будет прервана.";

class AgentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(agentAnswers()) << "something already serves port 5555";
        std::filesystem::remove(kLockFile);
    }
    void TearDown() override { std::filesystem::remove(kLockFile); }

    std::string appData() const { return home_.file(".local/share/KORVANE/PellixAgent"); }
    std::string logText() const { return agentLogText(home_.path().string()); }

    std::unique_ptr<ChildProcess> launch(const std::string& program = KORVANE_AGENT_BINARY,
                                         const std::vector<std::string>& extraEnv = {},
                                         const std::vector<std::string>& args = {}) {
        return std::make_unique<ChildProcess>(program, args,
                                              agentEnvironment(home_.path().string(), extraEnv),
                                              output_.path().string());
    }

    std::unique_ptr<ChildProcess> launchServing(const std::vector<std::string>& args = {}) {
        auto agent = launch(KORVANE_AGENT_BINARY, {}, args);
        EXPECT_TRUE(waitUntil(agentAnswers, 15s)) << agent->stderrText();
        return agent;
    }

    void stopWith(ChildProcess& agent, int signal) {
        agent.signal(signal);
        auto status = agent.waitForExit(15s);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 0);
    }

    // A copy of a program under another name, to appear in /proc with that executable name.
    std::string copyAs(const std::string& source, const std::string& name) {
        const std::string target = bin_.file(name);
        std::filesystem::copy_file(source, target,
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::permissions(target, std::filesystem::perms::owner_all);
        return target;
    }

    TempDir home_;
    TempDir output_;
    TempDir bin_;
};

// Every row of the migrations table as "name applied_at" lines.
std::string migrationRows(const std::string& dbPath) {
    sqlite3* db = nullptr;
    std::string rows;
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT name, applied_at FROM migrations ORDER BY id", -1,
                           &statement, nullptr);
        while (statement && sqlite3_step(statement) == SQLITE_ROW) {
            rows += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            rows += " ";
            rows += reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
            rows += "\n";
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

}  // namespace

TEST_F(AgentTest, ServesUntilSigtermThenExitsCleanlyAndRemovesTheLock) {
    for (int signal : {SIGTERM, SIGINT}) {
        auto agent = launchServing({"--ignored", "arguments"});
        EXPECT_EQ(readFile(kLockFile), std::to_string(agent->pid()) + "\n");
        stopWith(*agent, signal);
        EXPECT_FALSE(std::filesystem::exists(kLockFile));
        EXPECT_NE(
            logText().find("Received signal " + std::to_string(signal) + ", shutting down..."),
            std::string::npos);
    }
    EXPECT_NE(logText().find("Running in headless service mode (fallback from tray mode)"),
              std::string::npos);
}

TEST_F(AgentTest, SecondCopyIsRefusedByTheProcessScan) {
    auto first = launchServing();
    auto second = launch();
    EXPECT_EQ(second->waitForExit(10s), std::optional<int>(1));
    EXPECT_EQ(second->stderrText(), kAlreadyRunning + "korvanepellixagent" + kAborted + "\n");
    EXPECT_TRUE(first->running());
    EXPECT_TRUE(std::filesystem::exists(kLockFile));
    EXPECT_TRUE(agentAnswers());
    stopWith(*first, SIGTERM);
}

TEST_F(AgentTest, RenamedCopyIsRefusedByTheLockFile) {
    auto first = launchServing();
    auto renamed = launch(copyAs(KORVANE_AGENT_BINARY, "pellix-renamed"));
    EXPECT_EQ(renamed->waitForExit(10s), std::optional<int>(1));
    EXPECT_EQ(renamed->stderrText(), kAlreadyRunning + "korvanepellixagent" + kAborted + "\n");
    EXPECT_TRUE(std::filesystem::exists(kLockFile));
    stopWith(*first, SIGTERM);
}

TEST_F(AgentTest, RelatedExecutablesBlockTheStartWhateverTheirLetterCase) {
    for (const std::string name : {"korvanemonitoringagent", "KorvanePellixAgent"}) {
        ChildProcess sleeper(copyAs("/bin/sleep", name), {"30"}, {}, output_.path().string());
        ASSERT_TRUE(waitUntil(
            [&] {
                return std::filesystem::exists("/proc/" + std::to_string(sleeper.pid()) + "/exe");
            },
            5s));
        std::this_thread::sleep_for(100ms);  // let exec replace the forked image
        auto agent = launch();
        EXPECT_EQ(agent->waitForExit(10s), std::optional<int>(1)) << name;
        const std::string listed = name == "KorvanePellixAgent" ? "korvanepellixagent" : name;
        EXPECT_EQ(agent->stderrText(), kAlreadyRunning + listed + kAborted + "\n");
    }
}

TEST_F(AgentTest, StaleLockFileDoesNotBlockAStart) {
    writeFile(kLockFile, "99999\n");
    auto agent = launchServing();
    EXPECT_EQ(readFile(kLockFile), std::to_string(agent->pid()) + "\n");
    stopWith(*agent, SIGTERM);
}

TEST_F(AgentTest, DialogIsShownOnlyUnderADisplay) {
    // A fake zenity records the text it was given.
    const std::string record = bin_.file("zenity.txt");
    writeFile(bin_.file("zenity"), "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + record + "\n");
    std::filesystem::permissions(bin_.file("zenity"), std::filesystem::perms::owner_all);
    const std::string path = "PATH=" + bin_.path().string() + ":/usr/bin:/bin";

    auto first = launchServing();
    auto headless = launch(KORVANE_AGENT_BINARY, {path});
    EXPECT_EQ(headless->waitForExit(10s), std::optional<int>(1));
    EXPECT_FALSE(std::filesystem::exists(record));

    auto desktop = launch(KORVANE_AGENT_BINARY, {path, "DISPLAY=:99"});
    EXPECT_EQ(desktop->waitForExit(10s), std::optional<int>(1));
    EXPECT_NE(readFile(record).find("--text=" + kAlreadyRunning + "korvanepellixagent"),
              std::string::npos);
    stopWith(*first, SIGTERM);
}

TEST_F(AgentTest, RestartKeepsTheDaysLogAndAppliesNoMigrationTwice) {
    auto first = launchServing();
    stopWith(*first, SIGTERM);
    const std::string before = logText();
    ASSERT_NE(before.find("Server started on port 5555;"), std::string::npos);
    const std::string migrations = migrationRows(appData() + "/service.db");
    EXPECT_EQ(std::count(migrations.begin(), migrations.end(), '\n'), 9) << migrations;
    std::this_thread::sleep_for(1100ms);  // a second application would get a later time stamp

    // The restart binds port 5555 again at once.
    auto second = launchServing();
    stopWith(*second, SIGTERM);
    const std::string after = logText();
    EXPECT_EQ(after.substr(0, before.size()), before);
    EXPECT_GT(after.size(), before.size());
    EXPECT_EQ(migrationRows(appData() + "/service.db"), migrations);
}

TEST_F(AgentTest, PendingConfigFileIsAppliedOnceOrSetAside) {
    std::filesystem::create_directories(appData());
    writeFile(appData() + "/config.json", R"({"device_ip":"10.20.30.40"})");
    auto agent = launchServing();
    EXPECT_FALSE(std::filesystem::exists(appData() + "/config.json"));
    auto reply =
        httpRequest(kAgentPort, "POST", "/api/agent/get_config", R"({"keys":["device_ip"]})");
    EXPECT_EQ(reply.body, R"({"code":0,"data":{"device_ip":"10.20.30.40"}})");
    stopWith(*agent, SIGTERM);

    writeFile(appData() + "/config.json", "{ broken");
    agent = launchServing();
    EXPECT_TRUE(std::filesystem::exists(appData() + "/config.json.rejected"));
    reply = httpRequest(kAgentPort, "POST", "/api/agent/get_config", R"({"keys":["device_ip"]})");
    EXPECT_EQ(reply.body, R"({"code":0,"data":{"device_ip":"10.20.30.40"}})");
    stopWith(*agent, SIGTERM);
}

TEST_F(AgentTest, UnopenableDatabaseLeavesTheProcessUpWithoutAServer) {
    // The database file is not a database: the server cannot be built, the process stays up.
    std::filesystem::create_directories(appData());
    writeFile(appData() + "/service.db", std::string(4096, 'x'));
    auto agent = launch();
    ASSERT_TRUE(waitUntil(
        [&] { return logText().find("Failed to create server: ") != std::string::npos; }, 15s));
    EXPECT_FALSE(agentAnswers());
    EXPECT_TRUE(agent->running());
    stopWith(*agent, SIGTERM);
    EXPECT_FALSE(std::filesystem::exists(kLockFile));
}
