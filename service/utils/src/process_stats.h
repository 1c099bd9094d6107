#pragma once
// The running process as the kernel accounts for it, read from /proc/self, for the standard
// process_ metrics. Each call reads afresh; safe from any thread.

#include <cstdint>
#include <optional>

namespace korvane::Utils {

struct ProcessStats {
    double cpuSeconds = 0;        // user and system
    double startTimeSeconds = 0;  // since the Unix epoch
    std::uint64_t residentBytes = 0;
    std::uint64_t virtualBytes = 0;
    std::uint64_t openDescriptors = 0;
    std::uint64_t maxDescriptors = 0;  // the soft limit
};

// nullopt when /proc cannot be read.
std::optional<ProcessStats> readProcessStats();

}  // namespace korvane::Utils
