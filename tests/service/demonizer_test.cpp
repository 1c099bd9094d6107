#include "demonizer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;
using korvane::Engine::Mode;
namespace Demonizer = korvane::Engine::Demonizer;

namespace {

class DemonizerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "korvane-demon-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        if (const char* home = std::getenv("HOME")) savedHome_ = home;
    }
    void TearDown() override {
        if (savedHome_) {
            setenv("HOME", savedHome_->c_str(), 1);
        } else {
            unsetenv("HOME");
        }
        fs::remove_all(dir_);
    }

    static std::string read(const fs::path& path) {
        std::ifstream in(path);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path dir_;
    std::optional<std::string> savedHome_;
};

const char* const kServiceText =
    "[Unit]\n"
    "Description=pellix Driver Daemon\n"
    "\n"
    "[Service]\n"
    "ExecStart=/opt/korvane/my agent/korvanepellixagent\n"
    "Restart=always\n"
    "\n"
    "[Install]\n"
    "WantedBy=multi-user.target\n";

const char* const kDesktopText =
    "[Desktop Entry]\n"
    "Type=Application\n"
    "Exec=/opt/korvane/my agent/korvanepellixagent\n"
    "X-GNOME-Autostart-enabled=true\n";

}  // namespace

TEST_F(DemonizerTest, WritesExactTextUnquotedAndReplacesPreviousContent) {
    const std::string exec = "/opt/korvane/my agent/korvanepellixagent";
    struct Case {
        Mode mode;
        const char* expected;
    };
    for (const Case& c : {Case{Mode::Service, kServiceText}, Case{Mode::Autostart, kDesktopText},
                          Case{static_cast<Mode>(7), kServiceText}}) {
        const fs::path target = dir_ / "unit";
        // A longer earlier file must not leave a tail behind.
        Demonizer::Setup("/a/much/longer/path/than/the/second/one/to/leave/a/tail/if/not/truncated",
                         c.mode, target.string());
        Demonizer::Setup(exec, c.mode, target.string());
        EXPECT_EQ(read(target), c.expected) << static_cast<int>(c.mode);
        EXPECT_EQ(Demonizer::FileText(exec, c.mode), c.expected);
    }
}

TEST_F(DemonizerTest, AutostartGoesBelowHomeAndServiceToSystemFolder) {
    setenv("HOME", dir_.c_str(), 1);
    EXPECT_EQ(Demonizer::TargetPath(Mode::Service), "/etc/systemd/system/pellix-driver.service");
    const fs::path desktop = dir_ / ".config/autostart/pellix-driver.desktop";
    EXPECT_EQ(Demonizer::TargetPath(Mode::Autostart), desktop.string());

    // No folder is created: without .config/autostart nothing is written, and no error.
    EXPECT_NO_THROW(Demonizer::Setup("/opt/korvane/my agent/korvanepellixagent", Mode::Autostart));
    EXPECT_FALSE(fs::exists(dir_ / ".config"));

    fs::create_directories(desktop.parent_path());
    Demonizer::Setup("/opt/korvane/my agent/korvanepellixagent", Mode::Autostart);
    EXPECT_EQ(read(desktop), kDesktopText);
}

TEST_F(DemonizerTest, UnwritableTargetReturnsNormally) {
    EXPECT_NO_THROW(Demonizer::Setup("/bin/true", Mode::Service, (dir_ / "missing/x").string()));
    EXPECT_NO_THROW(Demonizer::Setup("/bin/true", Mode::Service, dir_.string()));  // a folder
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
    EXPECT_TRUE(fs::is_directory(dir_));
}

TEST_F(DemonizerTest, UnsetHomeThrowsInAutostartModeOnly) {
    unsetenv("HOME");
    EXPECT_THROW(Demonizer::Setup("/bin/true", Mode::Autostart), std::runtime_error);
    EXPECT_THROW(Demonizer::TargetPath(Mode::Autostart), std::runtime_error);
    EXPECT_EQ(Demonizer::TargetPath(Mode::Service), "/etc/systemd/system/pellix-driver.service");
}
