#include "file_slice.h"

#include <unistd.h>

#include <cerrno>

namespace korvane::Utils {

bool readExactly(int fd, std::uint64_t offset, char* out, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got =
            ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool writeAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace korvane::Utils
