#include "filesystem.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace fs = std::filesystem;
using namespace korvane::Utils::Filesystem;
using korvane::Testing::ScopedEnv;
using korvane::Testing::TempDir;

namespace {

std::vector<std::uint8_t> readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(FilesystemPaths, FollowHomeVerbatim) {
    struct Case {
        const char* home;
        std::string appData, documents, logs, db, config;
    };
    const std::string app = ".local/share/KORVANE/PellixAgent/";
    const std::string docs = "Documents/KORVANE/PellixAgent/";
    const Case cases[] = {
        {"/home/u", "/home/u/" + app, "/home/u/" + docs, "/home/u/" + app + "logs",
         "/home/u/" + app + "service.db", "/home/u/" + app + "config.json"},
        {"/home/u/", "/home/u//" + app, "/home/u//" + docs, "/home/u//" + app + "logs",
         "/home/u//" + app + "service.db", "/home/u//" + app + "config.json"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.home ? c.home : "(unset)");
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(GetAppData(), c.appData);
        EXPECT_EQ(GetDocumentsDirectory(), c.documents);
        EXPECT_EQ(GetLogDirectory(), c.logs);
        EXPECT_EQ(GetDefaultDBPath(), c.db);
        EXPECT_EQ(GetDefaultConfigPath(), c.config);
    }
}

TEST(FilesystemPaths, WithoutHomeFollowTheAccountsHome) {
    const passwd* account = getpwuid(geteuid());
    ASSERT_NE(account, nullptr) << "the test user needs an entry in the password database";
    const std::string home = account->pw_dir;
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        SCOPED_TRACE(value ? "(empty)" : "(unset)");
        ScopedEnv guard("HOME", value);
        EXPECT_EQ(GetAppData(), home + "/.local/share/KORVANE/PellixAgent/");
        EXPECT_EQ(GetDocumentsDirectory(), home + "/Documents/KORVANE/PellixAgent/");
        EXPECT_EQ(GetDefaultDBPath(), home + "/.local/share/KORVANE/PellixAgent/service.db");
    }
}

TEST(FilesystemPaths, ImagesFolderCreatesOnlyItsLastLevel) {
    TempDir home;
    ScopedEnv guard("HOME", home.path().c_str());
    const fs::path documents = home.path() / "Documents/KORVANE/PellixAgent";
    const std::string expected = home.path().string() + "/Documents/KORVANE/PellixAgent/images";

    EXPECT_EQ(GetDefaultImagesPath(), expected);
    EXPECT_FALSE(fs::exists(home.path() / "Documents")) << "documents folder must not be created";

    fs::create_directories(documents);
    EXPECT_EQ(GetDefaultImagesPath(), expected);
    EXPECT_TRUE(fs::is_directory(expected));
}

TEST(FilesystemPaths, ExecutableDirIsFolderOfRunningBinary) {
    const std::string dir = GetExecutableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(fs::exists(fs::path(dir) / fs::read_symlink("/proc/self/exe").filename()));
}

TEST(FilesystemDirectories, CreateDirectoryIfNotExists) {
    TempDir root;
    const fs::path file = root.path() / "plain-file";
    std::ofstream(file) << "x";
    struct Case {
        fs::path path;
        bool expected;
        bool isDirectoryAfter;
    };
    const Case cases[] = {
        {root.path() / "fresh", true, true},
        {root.path() / "fresh", true, true},  // second call: already there
        {root.path(), true, true},
        {root.path() / "missing" / "child", false, false},
        {file, false, false},
        {file / "below", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.string());
        EXPECT_EQ(CreateDirectoryIfNotExists(c.path.string()), c.expected);
        EXPECT_EQ(fs::is_directory(c.path), c.isDirectoryAfter);
    }
}

TEST(FilesystemImages, SaveEncodedImageRoundTripAndReplace) {
    TempDir root;
    const fs::path folder = root.path() / "a" / "b";
    // Bytes that text-mode translation or C-string handling would damage.
    const std::vector<std::uint8_t> bytes = {0xFF, 0xD8, 0x00, 0x0D, 0x0A, 0x1A, 0x00, 0xFF, 0xD9};

    ASSERT_TRUE(SaveEncodedImage("sid-1.jpg", bytes, folder.string()));
    EXPECT_EQ(readAll(folder / "sid-1.jpg"), bytes);

    const std::vector<std::uint8_t> shorter = {0x01, 0x02};
    ASSERT_TRUE(SaveEncodedImage("sid-1.jpg", shorter, folder.string()));
    EXPECT_EQ(readAll(folder / "sid-1.jpg"), shorter);

    ASSERT_TRUE(SaveEncodedImage("empty.jpg", {}, folder.string()));
    EXPECT_TRUE(fs::exists(folder / "empty.jpg"));
    EXPECT_EQ(fs::file_size(folder / "empty.jpg"), 0u);
}

TEST(FilesystemImages, SaveEncodedImageDefaultsToAppDataFolder) {
    TempDir home;
    ScopedEnv guard("HOME", home.path().c_str());
    const std::vector<std::uint8_t> bytes = {1, 2, 3};

    ASSERT_TRUE(SaveEncodedImage("x.bin", bytes, ""));
    EXPECT_EQ(readAll(home.path() / ".local/share/KORVANE/PellixAgent/x.bin"), bytes);
}

TEST(FilesystemImages, SaveEncodedImageReportsFailures) {
    TempDir root;
    const fs::path file = root.path() / "plain-file";
    std::ofstream(file) << "x";
    fs::create_directories(root.path() / "dir");
    const std::vector<std::uint8_t> bytes = {1, 2, 3};

    struct Case {
        std::string name;
        fs::path dir;
    };
    const Case cases[] = {
        {"img.jpg", file},                       // folder is a regular file
        {"img.jpg", file / "below"},             // folder below a regular file
        {"dir", root.path()},                    // target is an existing directory
        {"../escape.jpg", root.path() / "dir"},  // name walks out of its folder
        {"", root.path() / "dir"},
        {"..", root.path() / "dir"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir.string() + " / " + c.name);
        EXPECT_FALSE(SaveEncodedImage(c.name, bytes, c.dir.string()));
    }
    EXPECT_FALSE(fs::exists(root.path() / "escape.jpg"));
    EXPECT_EQ(readAll(file), std::vector<std::uint8_t>{'x'});
}
