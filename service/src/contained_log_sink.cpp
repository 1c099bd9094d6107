#include "contained_log_sink.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/fmt/fmt.h>

#include <cstdio>
#include <exception>
#include <utility>

#include "agent_metrics.h"

namespace korvane::Engine::Logging {

ContainedLogSink::ContainedLogSink(std::shared_ptr<spdlog::sinks::sink> inner,
                                   std::string loggerName)
    : inner_(std::move(inner)), loggerName_(std::move(loggerName)) {}

void ContainedLogSink::log(const spdlog::details::log_msg& msg) {
    std::lock_guard lock(mutex_);
    try {
        inner_->log(msg);
        ++unflushed_;
    } catch (const std::exception& e) {
        failed(1, &msg, e.what());
    }
}

void ContainedLogSink::flush() {
    std::lock_guard lock(mutex_);
    try {
        inner_->flush();
        unflushed_ = 0;
        if (failing_) recovered();
    } catch (const std::exception& e) {
        // The file's buffer is dropped with the failed write.
        const std::uint64_t dropped = unflushed_;
        unflushed_ = 0;
        failed(dropped, nullptr, e.what());
    }
}

void ContainedLogSink::set_pattern(const std::string& pattern) {
    std::lock_guard lock(mutex_);
    inner_->set_pattern(pattern);
}

void ContainedLogSink::set_formatter(std::unique_ptr<spdlog::formatter> formatter) {
    std::lock_guard lock(mutex_);
    inner_->set_formatter(std::move(formatter));
}

std::uint64_t ContainedLogSink::linesLost() const {
    std::lock_guard lock(mutex_);
    return lost_;
}

void ContainedLogSink::failed(std::uint64_t lines, const spdlog::details::log_msg* msg,
                              const char* what) {
    if (!failing_) {
        failing_ = true;
        firstFailure_ = what;
        std::fprintf(stderr, "Log file not writable, lines are lost until it is: %s\n", what);
    }
    lost_ += lines;
    Utils::Metrics::agentMetrics().logLinesLost.add(lines);
    // Errors are what an operator looks for afterwards; the journal keeps them meanwhile.
    if (msg != nullptr && msg->level >= spdlog::level::err) {
        const std::string payload(msg->payload.data(), msg->payload.size());
        std::fprintf(stderr, "[%s] %s\n", spdlog::level::to_string_view(msg->level).data(),
                     payload.c_str());
    }
    std::fflush(stderr);
}

void ContainedLogSink::recovered() {
    const std::string text =
        fmt::format("{} log lines could not be written ({});", lost_, firstFailure_);
    failing_ = false;
    lost_ = 0;
    firstFailure_.clear();
    try {
        inner_->log(
            spdlog::details::log_msg(spdlog::source_loc{}, loggerName_, spdlog::level::warn, text));
        inner_->flush();
    } catch (const std::exception& e) {
        failed(1, nullptr, e.what());
    }
}

}  // namespace korvane::Engine::Logging
