#include "logger.h"

#include <spdlog/sinks/daily_file_sink.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <regex>
#include <system_error>
#include <utility>
#include <vector>

#include "contained_log_sink.h"

namespace korvane::Engine::Logging {

namespace {

constexpr const char* kLoggerName = "daily_logger";
constexpr unsigned kMaxLogFiles = 14;

}  // namespace

// The logger pointer is swapped by Initialize while other threads may already hold Log();
// the mutex keeps each copy of the shared pointer whole. Copies outlive a swap safely.
//
// Every line at info level or above is flushed as it is logged, so a crash or a SIGKILL loses
// no line and the log-upload task sends what was logged up to that moment. (The flush hands the
// line to the kernel; no fsync, so a power cut may still take the last lines the kernel had not
// yet written.)
// The file sink sits behind a ContainedLogSink, so that lines a full disk swallowed are counted
// and reported once writing works again.
struct Logger::Impl {
    mutable std::mutex mutex;
    std::shared_ptr<spdlog::logger> logger;
    std::string directory;
};

Logger::Logger() : impl_(std::make_shared<Impl>()) {
    // Without sinks every message is dropped, so code that runs before Initialize (or tests
    // that never call it) can log without checking for null.
    impl_->logger = std::make_shared<spdlog::logger>(kLoggerName);
}

Logger& Logger::GetInstance() {
    static Logger instance;
    return instance;
}

void Logger::Initialize(const std::string& dir) {
    std::filesystem::create_directories(dir);
    CleanupOldLogs(dir, kMaxLogFiles);

    // Appending keeps what an earlier run of the same day wrote, so a restart does not erase
    // the lines that explain why the Agent was restarted.
    constexpr bool kTruncate = false;
    auto file = std::make_shared<spdlog::sinks::daily_file_sink_mt>(
        dir + "/pellix.log", 0, 0, kTruncate, static_cast<std::uint16_t>(kMaxLogFiles));
    auto logger = std::make_shared<spdlog::logger>(
        kLoggerName, std::make_shared<ContainedLogSink>(std::move(file), kLoggerName));
    logger->set_level(spdlog::level::info);
    logger->flush_on(spdlog::level::info);

    // The folder is recorded together with the logger, so it always names where the logger
    // in use writes, even after a failed Initialize.
    std::lock_guard lock(impl_->mutex);
    impl_->logger = std::move(logger);
    impl_->directory = dir;
}

std::string Logger::GetLogDirectory() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->directory;
}

std::shared_ptr<spdlog::logger> Logger::get() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->logger;
}

void CleanupOldLogs(const std::string& dir, unsigned maxFiles) {
    namespace fs = std::filesystem;
    static const std::regex kLogName("pellix.*\\.log");

    struct Candidate {
        fs::path path;
        fs::file_time_type modified;
    };
    std::vector<Candidate> candidates;

    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        const fs::directory_entry& entry = *it;
        std::error_code entryEc;
        if (!entry.is_regular_file(entryEc) || entryEc) continue;
        if (!std::regex_match(entry.path().filename().string(), kLogName)) continue;
        const auto modified = entry.last_write_time(entryEc);
        if (entryEc) continue;
        candidates.push_back({entry.path(), modified});
    }
    // A listing that broke off midway is treated like an unreadable folder: deleting on a
    // partial view could remove files that are not among the oldest.
    if (ec || candidates.size() <= maxFiles) return;

    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.modified < b.modified; });
    const std::size_t surplus = candidates.size() - maxFiles;
    for (std::size_t i = 0; i < surplus; ++i) {
        std::error_code removeEc;
        fs::remove(candidates[i].path, removeEc);
    }
}

}  // namespace korvane::Engine::Logging
