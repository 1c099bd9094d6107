#include "logger.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/sink.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "contained_log_sink.h"

namespace fs = std::filesystem;
using korvane::Engine::Logging::CleanupOldLogs;
using korvane::Engine::Logging::Logger;

namespace {

// The folders are left in place: the process-wide logger keeps writing into the last one
// after these tests end, and other tests in this binary may still log.
fs::path makeTempDir(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void touch(const fs::path& path, fs::file_time_type modified) {
    std::ofstream(path) << "x";
    fs::last_write_time(path, modified);
}

std::set<std::string> namesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

std::string localDate(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Today's file, tolerating a date change between the write and the check.
fs::path todaysFile(const fs::path& dir, std::time_t before) {
    const fs::path first = dir / ("pellix_" + localDate(before) + ".log");
    if (fs::exists(first)) return first;
    return dir / ("pellix_" + localDate(std::time(nullptr)) + ".log");
}

// Polls check until it holds, for at most a few flush intervals.
template <typename Check>
bool eventually(Check check) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!check()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

TEST(LoggerCleanup, KeepsNewestMatchingFilesAndIgnoresOthers) {
    const fs::path dir = makeTempDir("korvane-logclean-");
    const auto base = fs::file_time_type::clock::now() - std::chrono::hours(24 * 100);

    // Modification order deliberately differs from name order, so sorting by name would keep
    // the wrong files.
    std::vector<std::string> matching;
    for (int i = 0; i < 20; ++i) {
        const int day = (i * 7) % 20 + 1;  // a permutation of 1..20
        const std::string name =
            "pellix_2026-09-" + std::string(day < 10 ? "0" : "") + std::to_string(day) + ".log";
        touch(dir / name, base + std::chrono::hours(i));
        matching.push_back(name);  // in order of age, oldest first
    }
    // Non-matching entries are older than every log file: a loose filter would delete them.
    const auto ancient = base - std::chrono::hours(1000);
    for (const char* name : {"other.log", "pellix.log.bak", "xpellix.log", "pellix.txt"}) {
        touch(dir / name, ancient);
    }
    fs::create_directory(dir / "pellix_x.log");
    fs::last_write_time(dir / "pellix_x.log", ancient);

    CleanupOldLogs(dir.string(), 14);

    std::set<std::string> expected(matching.begin() + 6, matching.end());
    expected.insert({"other.log", "pellix.log.bak", "xpellix.log", "pellix.txt", "pellix_x.log"});
    EXPECT_EQ(namesIn(dir), expected);

    // At the limit nothing more goes.
    CleanupOldLogs(dir.string(), 14);
    EXPECT_EQ(namesIn(dir), expected);
    fs::remove_all(dir);
}

TEST(LoggerCleanup, MissingOrUnlistableFolderDoesNotThrow) {
    EXPECT_NO_THROW(CleanupOldLogs("/nonexistent/korvane/logs", 0));
    EXPECT_NO_THROW(CleanupOldLogs("", 0));
    const fs::path dir = makeTempDir("korvane-logfile-");
    touch(dir / "pellix.log", fs::file_time_type::clock::now());
    EXPECT_NO_THROW(CleanupOldLogs((dir / "pellix.log").string(), 0));  // a file, not a folder
    EXPECT_TRUE(fs::exists(dir / "pellix.log"));
    fs::remove_all(dir);
}

TEST(Logger, GetBeforeOrAfterInitializeIsNeverNull) {
    ASSERT_NE(Logger::GetInstance().get(), nullptr);
    EXPECT_EQ(Logger::GetInstance().get()->name(), "daily_logger");
    EXPECT_NO_THROW(korvane::Log()->info("discarded or logged, never a crash {};", 1));
}

TEST(Logger, WritesTodaysFileWithDefaultLayoutAndAppendsAcrossRestarts) {
    const fs::path dir = makeTempDir("korvane-log-") / "nested" / "logs";
    Logger& logger = Logger::GetInstance();
    const std::time_t before = std::time(nullptr);

    logger.Initialize(dir.string());
    EXPECT_EQ(logger.GetLogDirectory(), dir.string());
    korvane::Log()->info("first run {};", 42);
    korvane::Log()->debug("debug line must be dropped;");

    // An info line is in the file as soon as it is logged, without closing the logger.
    const std::regex line(
        R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[daily_logger\] \[info\] first run 42;\n)");
    std::string text = readFile(todaysFile(dir, before));
    EXPECT_TRUE(std::regex_match(text, line)) << text;

    // A restart on the same day keeps the earlier lines. A warning or an error is in the file
    // as soon as it is logged, together with what was logged before it.
    logger.Initialize(dir.string());
    korvane::Log()->info("before the warning;");
    korvane::Log()->warn("second run;");
    text = readFile(todaysFile(dir, before));
    EXPECT_NE(text.find("] [info] first run 42;\n"), std::string::npos) << text;
    EXPECT_NE(text.find("] [info] before the warning;\n"), std::string::npos) << text;
    EXPECT_NE(text.find("] [warning] second run;\n"), std::string::npos) << text;
    korvane::Log()->error("failure {};", "x");
    text = readFile(todaysFile(dir, before));
    EXPECT_NE(text.find("] [error] failure x;\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("debug line"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
}

TEST(Logger, InitializeThrowsWhenFolderCannotBeCreated) {
    const fs::path dir = makeTempDir("korvane-logbad-");
    touch(dir / "file", fs::file_time_type::clock::now());
    Logger& logger = Logger::GetInstance();
    const auto previous = logger.get();
    const std::string previousDir = logger.GetLogDirectory();
    EXPECT_THROW(logger.Initialize((dir / "file" / "logs").string()), fs::filesystem_error);
    // The logger in use is kept, so later messages still reach the previous file.
    EXPECT_EQ(logger.get(), previous);
    EXPECT_EQ(logger.GetLogDirectory(), previousDir);
}

// Meant for the ThreadSanitizer build: threads keep logging while the logger is replaced.
TEST(Logger, ReplacingTheLoggerWhileOtherThreadsLogIsSafe) {
    const fs::path dir = makeTempDir("korvane-logswap-");
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&stop, &written, t] {
            while (!stop.load()) {
                korvane::Log()->info("writer {};", t);
                ++written;
            }
        });
    }
    for (int i = 0; i < 20; ++i) Logger::GetInstance().Initialize(dir.string());
    // Let the writers log through the final logger before stopping them.
    const int target = written.load() + 100;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (written.load() < target && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    stop = true;
    for (auto& w : writers) w.join();
    EXPECT_EQ(Logger::GetInstance().GetLogDirectory(), dir.string());
    EXPECT_TRUE(eventually([&] {
        return readFile(todaysFile(dir, std::time(nullptr))).find("] [info] writer ") !=
               std::string::npos;
    }));
}

namespace {

// Stands in for a file on a disk that fills up: while `failing`, writes and flushes throw as
// the library's file sink does.
class FailingSink : public spdlog::sinks::base_sink<std::mutex> {
  public:
    std::atomic<bool> failing{false};
    std::vector<std::string> lines;

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (failing) throw spdlog::spdlog_ex("Failed writing to file: No space left on device");
        lines.emplace_back(msg.payload.data(), msg.payload.size());
    }
    void flush_() override {
        if (failing) throw spdlog::spdlog_ex("Failed flush to file: No space left on device");
    }
};

}  // namespace

TEST(ContainedLogSink, WriteFailuresCostLinesNeverAnExceptionAndAreReportedOnceWritable) {
    auto file = std::make_shared<FailingSink>();
    auto sink = std::make_shared<korvane::Engine::Logging::ContainedLogSink>(file, "daily_logger");
    spdlog::logger logger("daily_logger", sink);
    logger.flush_on(spdlog::level::info);
    // The library's own handler would only print; a throwing one shows that nothing reached it.
    logger.set_error_handler([](const std::string& message) { throw std::runtime_error(message); });

    logger.info("before;");
    file->failing = true;
    EXPECT_NO_THROW(logger.info("lost 1;"));
    EXPECT_NO_THROW(logger.error("lost 2;"));
    EXPECT_NO_THROW(sink->flush());
    EXPECT_EQ(sink->linesLost(), 2u);

    file->failing = false;
    logger.info("after;");
    EXPECT_EQ(sink->linesLost(), 0u);
    ASSERT_EQ(file->lines.size(), 3u);
    EXPECT_EQ(file->lines[0], "before;");
    EXPECT_EQ(file->lines[1], "after;");
    EXPECT_EQ(
        file->lines[2],
        "2 log lines could not be written (Failed writing to file: No space left on device);");
}
