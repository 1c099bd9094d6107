#pragma once
// Wraps the log file's sink so that the lines the file could not take are accounted for. A
// std::exception of the wrapped sink never leaves this one (the logger would catch it as well,
// but only report it on standard error, at most once a second). Instead: a line whose write
// throws, and the lines handed over since the last flush when a flush throws, are counted as
// lost; the first failure of a run is reported once on standard error (the service manager's
// journal), and so is each line at error level or above whose own write throws; the first
// flush that works again is followed by one warning line in the file with the count.
// Owned by the process logger; safe to call from any thread.

#include <spdlog/sinks/sink.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace korvane::Engine::Logging {

class ContainedLogSink final : public spdlog::sinks::sink {
  public:
    // loggerName appears in the warning line the sink writes itself.
    ContainedLogSink(std::shared_ptr<spdlog::sinks::sink> inner, std::string loggerName);

    void log(const spdlog::details::log_msg& msg) override;
    void flush() override;
    void set_pattern(const std::string& pattern) override;
    void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override;

    // Lines lost since writing last worked (0 while it works).
    std::uint64_t linesLost() const;

  private:
    // Both called with mutex_ held. msg is the line that failed, null for a failed flush.
    void failed(std::uint64_t lines, const spdlog::details::log_msg* msg, const char* what);
    void recovered();

    const std::shared_ptr<spdlog::sinks::sink> inner_;
    const std::string loggerName_;
    mutable std::mutex mutex_;
    // All guarded by mutex_.
    bool failing_ = false;
    std::uint64_t unflushed_ = 0;  // lines handed to the inner sink since its last flush
    std::uint64_t lost_ = 0;
    std::string firstFailure_;
};

}  // namespace korvane::Engine::Logging
