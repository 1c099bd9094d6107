#pragma once
// The process-wide logger: one daily file in the log directory, at most 14 files kept.
// Initialize() runs once at start-up before other threads exist; after that every thread
// logs through Log(), which never returns null (before Initialize it discards messages).
// Every line at info level or above is in the file when the call returns; a file that cannot
// be written (full or read-only disk) costs lines, never an exception (see ContainedLogSink).

#include <spdlog/logger.h>

#include <memory>
#include <string>

namespace korvane::Engine::Logging {

class Logger {
  public:
    static Logger& GetInstance();

    // Creates dir with its parents, deletes old log files beyond 14 and opens today's file
    // for appending. Throws std::filesystem::filesystem_error when dir cannot be created.
    void Initialize(const std::string& dir);
    std::string GetLogDirectory() const;
    std::shared_ptr<spdlog::logger> get() const;

  private:
    Logger();
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// Keeps the maxFiles most recently modified regular files whose whole name matches
// "pellix.*\.log" in dir; deletes the older ones. Never throws.
void CleanupOldLogs(const std::string& dir, unsigned maxFiles);

}  // namespace korvane::Engine::Logging

namespace korvane {
// Shorthand used by every module: Log()->info("Server started on port {};", port);
inline std::shared_ptr<spdlog::logger> Log() {
    return Engine::Logging::Logger::GetInstance().get();
}
}  // namespace korvane
