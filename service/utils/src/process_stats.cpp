#include "process_stats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace korvane::Utils {

namespace {

// Seconds since the Unix epoch at which the machine booted.
std::optional<double> bootTime() {
    std::ifstream in("/proc/stat");
    std::string key;
    while (in >> key) {
        if (key == "btime") {
            double seconds = 0;
            if (in >> seconds) return seconds;
            return std::nullopt;
        }
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return std::nullopt;
}

std::uint64_t openDescriptors() {
    std::error_code ec;
    std::uint64_t count = 0;
    std::filesystem::directory_iterator it("/proc/self/fd", ec);
    for (const std::filesystem::directory_iterator end; !ec && it != end; it.increment(ec)) {
        ++count;
    }
    // The listing's own descriptor is not the process's.
    return count > 0 ? count - 1 : 0;
}

}  // namespace

std::optional<ProcessStats> readProcessStats() {
    std::ifstream in("/proc/self/stat");
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    // The command name may hold spaces and parentheses; the fields after its last ")" do not.
    const auto close = line.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(close + 2));
    // Fields 3..24 of proc(5); utime is the 14th, starttime the 22nd, vsize 23rd, rss 24th.
    std::string skip;
    unsigned long long utime = 0, stime = 0, startTicks = 0, vsize = 0;
    long long rssPages = 0;
    for (int field = 3; field <= 24; ++field) {
        if (field == 14) {
            fields >> utime;
        } else if (field == 15) {
            fields >> stime;
        } else if (field == 22) {
            fields >> startTicks;
        } else if (field == 23) {
            fields >> vsize;
        } else if (field == 24) {
            fields >> rssPages;
        } else {
            fields >> skip;
        }
    }
    const auto boot = bootTime();
    const long ticks = sysconf(_SC_CLK_TCK);
    if (!fields || !boot || ticks <= 0) return std::nullopt;

    ProcessStats stats;
    stats.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(ticks);
    stats.startTimeSeconds = *boot + static_cast<double>(startTicks) / static_cast<double>(ticks);
    stats.virtualBytes = vsize;
    stats.residentBytes = static_cast<std::uint64_t>(rssPages < 0 ? 0 : rssPages) *
                          static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    stats.openDescriptors = openDescriptors();
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) stats.maxDescriptors = limit.rlim_cur;
    return stats;
}

}  // namespace korvane::Utils
