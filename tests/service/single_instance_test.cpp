#include "single_instance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "http_client.h"
#include "temp_dir.h"

using namespace korvane::Testing;
namespace SingleInstance = korvane::Engine::SingleInstance;

namespace {

// Puts fake dialog programs on PATH; each records its arguments and exits with its status.
class FakeDialogs {
  public:
    FakeDialogs(int zenityStatus, int kdialogStatus)
        : path_("PATH", (dir_.path().string() + ":/usr/bin:/bin").c_str()) {
        install("zenity", zenityStatus);
        install("kdialog", kdialogStatus);
        install("xmessage", 0);
    }
    std::string recorded(const std::string& program) const {
        return readFile(dir_.file(program + ".args"));
    }

  private:
    void install(const std::string& program, int status) {
        writeFile(dir_.file(program), "#!/bin/sh\nprintf '%s\\n' \"$@\" > " +
                                          dir_.file(program + ".args") + "\nexit " +
                                          std::to_string(status) + "\n");
        std::filesystem::permissions(dir_.file(program), std::filesystem::perms::owner_all);
    }
    TempDir dir_;
    ScopedEnv path_;
};

}  // namespace

TEST(ShowMessage, QuotesReachTheDialogIntactAndFallbacksRunInOrder) {
    ScopedEnv display("DISPLAY", ":99");
    const std::string text = "it's \"odd\" $HOME `x`";
    {
        FakeDialogs dialogs(0, 0);
        SingleInstance::ShowMessage(text);
        EXPECT_EQ(dialogs.recorded("zenity"),
                  "--warning\n--title=Korvane Pellix Agent\n--text=" + text + "\n");
        EXPECT_EQ(dialogs.recorded("kdialog"), "");
    }
    {
        FakeDialogs dialogs(1, 1);
        SingleInstance::ShowMessage(text);
        EXPECT_EQ(dialogs.recorded("kdialog"),
                  "--sorry\n" + text + "\n--title\nKorvane Pellix Agent\n");
        EXPECT_EQ(dialogs.recorded("xmessage"), "-center\n" + text + "\n");
    }
}

TEST(ShowMessage, NoDialogWithoutADisplay) {
    ScopedEnv display("DISPLAY", nullptr);
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    FakeDialogs dialogs(0, 0);
    SingleInstance::ShowMessage("headless");
    EXPECT_EQ(dialogs.recorded("zenity"), "");
}

TEST(LockFile, OnlyTheHolderRemovesTheLockFile) {
    TempDir dir;
    const std::string path = dir.file("agent.lock");

    // Another holder: refused, and releasing afterwards leaves the holder's file alone.
    int other = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(SingleInstance::AcquireLock(path), SingleInstance::LockResult::HeldByAnother);
    SingleInstance::ReleaseLock();
    EXPECT_TRUE(std::filesystem::exists(path));
    close(other);

    // Stale file from a dead holder: taken over, rewritten with our pid, removed on release.
    writeFile(path, "12345678\n");
    EXPECT_EQ(SingleInstance::AcquireLock(path), SingleInstance::LockResult::Held);
    EXPECT_EQ(readFile(path), std::to_string(getpid()) + "\n");
    const auto writableByOthers =
        std::filesystem::perms::group_write | std::filesystem::perms::others_write;
    EXPECT_EQ(std::filesystem::status(path).permissions() & writableByOthers,
              std::filesystem::perms::none);
    SingleInstance::ReleaseLock();
    EXPECT_FALSE(std::filesystem::exists(path));

    EXPECT_EQ(SingleInstance::AcquireLock(dir.file("missing/agent.lock")),
              SingleInstance::LockResult::Unavailable);
    SingleInstance::ReleaseLock();
}

TEST(ProcessScan, FindsOtherProcessesByExecutableNameIgnoringCase) {
    TempDir dir;
    const std::string name = "KorvaneScanProbe" + std::to_string(getpid());
    std::filesystem::copy_file("/bin/sleep", dir.file(name));
    std::filesystem::permissions(dir.file(name), std::filesystem::perms::owner_all);

    EXPECT_FALSE(SingleInstance::IsProcessRunning(name));
    pid_t child = fork();
    if (child == 0) {
        execl(dir.file(name).c_str(), name.c_str(), "30", nullptr);
        _exit(127);
    }
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_TRUE(waitUntil([&] { return SingleInstance::IsProcessRunning(lower); },
                          std::chrono::seconds(5)));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(SingleInstance::IsProcessRunning(name));
    EXPECT_FALSE(SingleInstance::IsProcessRunning(name, dir.file("no-proc")));
}
