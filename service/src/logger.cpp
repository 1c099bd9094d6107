#include "logger.h"

#include <spdlog/sinks/daily_file_sink.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <regex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace korvane::Engine::Logging {

namespace {

constexpr const char* kLoggerName = "daily_logger";
constexpr unsigned kMaxLogFiles = 14;
// Longest time an info line waits in the file buffer before it reaches the file.
constexpr std::chrono::seconds kFlushInterval{1};

}  // namespace

// The logger pointer is swapped by Initialize while other threads may already hold Log();
// the mutex keeps each copy of the shared pointer whole. Copies outlive a swap safely.
//
// Flushing: a flush per line costs a write system call on every request, so only warnings
// and errors are flushed at once (with everything logged before them); the rest reaches the
// file within kFlushInterval through the flusher thread, or when the buffer fills. At a normal
// exit the destructor flushes what is left. What a crash can lose is the last second of info
// lines, never an error line.
struct Logger::Impl {
    mutable std::mutex mutex;
    std::shared_ptr<spdlog::logger> logger;
    std::string directory;
    // The current logger's file sink, owned by that logger. The flusher flushes it alone:
    // flushing the logger would walk its sink list, which tests extend while no other thread
    // logs. (Not a second owner: the sink's last release may then happen inside the logging
    // library, whose reference counting the thread sanitizer cannot see.)
    spdlog::sinks::sink* file = nullptr;
    std::condition_variable wake;
    bool stopping = false;
    std::thread flusher;

    ~Impl() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        if (flusher.joinable()) flusher.join();
        if (file) file->flush();
    }

    // Started by the first Initialize.
    void startFlusher() {
        if (flusher.joinable()) return;
        flusher = std::thread([this] {
            std::unique_lock lock(mutex);
            while (!wake.wait_for(lock, kFlushInterval, [this] { return stopping; })) {
                const auto owner = logger;  // keeps the sink alive while it is flushed
                spdlog::sinks::sink* const current = file;
                lock.unlock();
                if (current != nullptr) current->flush();
                lock.lock();
            }
        });
    }
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
    auto sink = std::make_shared<spdlog::sinks::daily_file_sink_mt>(
        dir + "/pellix.log", 0, 0, kTruncate, static_cast<std::uint16_t>(kMaxLogFiles));
    spdlog::sinks::sink* const file = sink.get();
    auto logger = std::make_shared<spdlog::logger>(kLoggerName, std::move(sink));
    logger->set_level(spdlog::level::info);
    logger->flush_on(spdlog::level::warn);

    // The folder is recorded together with the logger, so it always names where the logger
    // in use writes, even after a failed Initialize.
    std::lock_guard lock(impl_->mutex);
    if (impl_->file) impl_->file->flush();  // threads still holding the old logger are rare
    impl_->logger = std::move(logger);
    impl_->file = file;
    impl_->directory = dir;
    impl_->startFlusher();
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
