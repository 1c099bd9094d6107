// Faults of the machine's own disk, through the real binary: the Agent's home lives on a small
// tmpfs in a mount namespace private to this test process, which the test fills up, makes
// read-only and frees again while clients weigh. Every feedback answered with code 0 must be
// stored exactly once, no other, the database must stay sound, and the Agent must keep serving
// without a restart. Needs CAP_SYS_ADMIN (root); skipped without it.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>

#include <boost/json.hpp>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "agent_process.h"
#include "camera_simulator.h"
#include "http_client.h"
#include "sqlite_reader.h"
#include "temp_dir.h"

using namespace korvane::Testing;
using namespace std::chrono_literals;
using korvane::CameraSim::CameraSimulator;

namespace {

constexpr const char* kTmpfsSize = "size=24m";

// What the client saw of one weighing.
struct Weighing {
    std::string sid;
    int feedbackCode = 0;
};

class DiskFaultsTest : public ::testing::Test {
  protected:
    DiskFaultsTest() : camera_(CameraSimulator::Options{}) {}

    void SetUp() override {
        ASSERT_FALSE(agentAnswers()) << "something already serves port 5555";
        // Before any thread exists: the namespace belongs to the calling thread and is inherited
        // by what it starts (the simulator's threads, the Agent).
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            GTEST_SKIP() << "no private mount namespace here: " << std::strerror(errno);
        }
        camera_.start();
    }

    void TearDown() override {
        if (agent_ && agent_->running()) {
            agent_->signal(SIGKILL);
            agent_->waitForExit(10s);
        }
        camera_.stop();
        while (!mounts_.empty()) {
            umount2(mounts_.back().c_str(), MNT_DETACH);
            mounts_.pop_back();
        }
    }

    void mountHome(unsigned long flags) {
        const std::string home = home_.path().string();
        ASSERT_EQ(mount("tmpfs", home.c_str(), "tmpfs", flags, kTmpfsSize), 0)
            << std::strerror(errno);
        mounts_.push_back(home);
    }

    // A read-only view over the home (files the Agent holds open stay writable through it,
    // as on a bind mount turned read-only by an administrator).
    void setHomeReadOnly(bool readOnly) {
        const std::string home = home_.path().string();
        if (!readOnly) {
            ASSERT_EQ(umount2(home.c_str(), 0), 0) << std::strerror(errno);
            mounts_.pop_back();
            return;
        }
        ASSERT_EQ(mount(home.c_str(), home.c_str(), nullptr, MS_BIND, nullptr), 0);
        mounts_.push_back(home);
        ASSERT_EQ(mount(nullptr, home.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
                  0)
            << std::strerror(errno);
    }

    std::string appData() const { return home_.file(".local/share/KORVANE/PellixAgent"); }
    std::string imagesDir() const { return home_.file("images"); }

    void startAgent() {
        std::filesystem::create_directories(appData());
        writeFile(appData() + "/config.json",
                  boost::json::serialize(
                      boost::json::object{{"device_ip", "127.0.0.1"},
                                          {"device_port", std::to_string(camera_.port())},
                                          {"monitoring_service_address", ""},
                                          {"product_prediction_data_folder_path", imagesDir()}}));
        agent_ = std::make_unique<ChildProcess>(KORVANE_AGENT_BINARY, std::vector<std::string>{},
                                                agentEnvironment(home_.path().string()),
                                                output_.path().string());
        ASSERT_TRUE(waitUntil([this] { return agentAnswers() || !agent_->running(); }, 20s) &&
                    agent_->running())
            << agent_->stderrText();
    }

    // Fills the file system of the home to the last byte.
    void fillDisk() {
        std::ofstream filler(fillerPath(), std::ios::binary);
        const std::string block(64 * 1024, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
        filler.close();
        std::ofstream tail(fillerPath() + ".tail", std::ios::binary);
        while (tail.put('x') && tail.flush()) {
        }
    }
    void freeDisk() {
        std::filesystem::remove(fillerPath());
        std::filesystem::remove(fillerPath() + ".tail");
    }
    std::string fillerPath() const { return home_.file("filler"); }

    // One get_result + result_feedback pair. get_result must always bring the camera's answer.
    Weighing weigh() {
        const auto result =
            boost::json::parse(httpRequest(kAgentPort, "GET", "/api/get_result").body).as_object();
        Weighing weighing;
        EXPECT_EQ(result.at("code").as_int64(), 0) << boost::json::serialize(result);
        if (result.at("code").as_int64() != 0) return weighing;
        const auto& data = result.at("data").as_object();
        weighing.sid = data.at("sid").as_string();
        EXPECT_FALSE(data.at("items").as_array().empty());
        const boost::json::object feedback{{"sid", weighing.sid},
                                           {"id", data.at("items").at(0).at("id")},
                                           {"method_of_selection", "recognition"}};
        const auto answer = httpRequest(kAgentPort, "POST", "/api/result_feedback",
                                        boost::json::serialize(feedback), "application/json");
        weighing.feedbackCode =
            static_cast<int>(boost::json::parse(answer.body).at("code").as_int64());
        return weighing;
    }

    void weighSome(int count, std::vector<Weighing>& into) {
        for (int i = 0; i < count; ++i) into.push_back(weigh());
    }

    std::string agentLog() const { return agentLogText(home_.path().string()); }

    TempDir home_;
    TempDir output_;
    CameraSimulator camera_;
    std::unique_ptr<ChildProcess> agent_;
    std::vector<std::string> mounts_;
};

TEST_F(DiskFaultsTest, FullAndReadOnlyDiskCostNoAcknowledgedFeedbackAndHealWithoutRestart) {
    ASSERT_NO_FATAL_FAILURE(mountHome(0));
    ASSERT_NO_FATAL_FAILURE(startAgent());

    std::vector<Weighing> weighings;
    weighSome(10, weighings);
    for (const auto& w : weighings) ASSERT_EQ(w.feedbackCode, 0) << w.sid;

    // Full: get_result keeps answering; a feedback is either stored (answered 0) or refused.
    fillDisk();
    const std::size_t fullFrom = weighings.size();
    const auto fullUntil = std::chrono::steady_clock::now() + 6s;
    while (std::chrono::steady_clock::now() < fullUntil) weighSome(1, weighings);
    ASSERT_TRUE(agent_->running()) << agent_->stderrText();
    std::size_t refusedWhileFull = 0;
    for (std::size_t i = fullFrom; i < weighings.size(); ++i) {
        if (weighings[i].feedbackCode != 0) ++refusedWhileFull;
    }
    EXPECT_GT(refusedWhileFull, 0u) << "the disk never refused a feedback: nothing was tested";
    std::cout << "[ figures  ] disk full: " << weighings.size() - fullFrom << " weighings, "
              << refusedWhileFull << " feedbacks refused" << std::endl;
    EXPECT_NE(agent_->stderrText().find("Log file not writable"), std::string::npos)
        << agent_->stderrText();

    // Space back: everything is stored again, and the log says what it missed.
    freeDisk();
    const std::size_t freedFrom = weighings.size();
    weighSome(10, weighings);
    for (std::size_t i = freedFrom; i < weighings.size(); ++i) {
        EXPECT_EQ(weighings[i].feedbackCode, 0) << "after space came back: " << weighings[i].sid;
    }
    EXPECT_NE(agentLog().find("log lines could not be written"), std::string::npos);

    // Read-only: the files the Agent holds open go on; new pictures cannot be created.
    ASSERT_NO_FATAL_FAILURE(setHomeReadOnly(true));
    weighSome(5, weighings);
    ASSERT_TRUE(agent_->running()) << agent_->stderrText();
    ASSERT_NO_FATAL_FAILURE(setHomeReadOnly(false));
    const std::size_t writableFrom = weighings.size();
    weighSome(5, weighings);
    for (std::size_t i = writableFrom; i < weighings.size(); ++i) {
        EXPECT_EQ(weighings[i].feedbackCode, 0) << weighings[i].sid;
    }

    // Every line is on disk when logged: a SIGKILL right after the last answer loses none.
    const std::string lastSid = weighings.back().sid;
    agent_->signal(SIGKILL);
    ASSERT_EQ(agent_->waitForExit(10s), std::optional<int>(-1));
    EXPECT_NE(agentLog().find("Saved image for sid " + lastSid), std::string::npos);

    SqliteReader db(appData() + "/service.db");
    ASSERT_EQ(db.rows("PRAGMA integrity_check"), (std::vector<std::vector<std::string>>{{"ok"}}));
    std::map<std::string, int> stored;
    for (const auto& row : db.rows("SELECT sid FROM recognition_queue")) ++stored[row[0]];
    for (const auto& w : weighings) {
        if (w.feedbackCode == 0) {
            EXPECT_EQ(stored[w.sid], 1) << "acknowledged feedback not stored once: " << w.sid;
        } else {
            EXPECT_EQ(stored[w.sid], 0) << "refused feedback stored: " << w.sid;
        }
    }
    // Nothing in part: an entry ranked from its prediction has the candidates with it (one
    // whose prediction the full disk refused is stored as "top_unknown", without them).
    EXPECT_TRUE(db.rows("SELECT id FROM recognition_queue q WHERE position_relevance LIKE 'top_' "
                        "AND NOT EXISTS (SELECT 1 FROM recognition_values v WHERE v.rid = q.id)")
                    .empty());
    // A picture the full disk cut short was removed rather than left for the upload.
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(imagesDir(), error)) {
        EXPECT_GT(entry.file_size(), 0u) << entry.path();
    }
}

TEST_F(DiskFaultsTest, ReadOnlyHomeAtStartExitsWithStatusOneAndSaysWhy) {
    ASSERT_NO_FATAL_FAILURE(mountHome(MS_RDONLY));
    agent_ = std::make_unique<ChildProcess>(KORVANE_AGENT_BINARY, std::vector<std::string>{},
                                            agentEnvironment(home_.path().string()),
                                            output_.path().string());
    EXPECT_EQ(agent_->waitForExit(15s), std::optional<int>(1));
    EXPECT_NE(agent_->stderrText().find("Cannot set up the log folder"), std::string::npos)
        << agent_->stderrText();
}

}  // namespace
