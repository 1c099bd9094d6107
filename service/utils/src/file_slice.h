#pragma once
// A run of bytes inside an open file: how a large upload travels from the local API to the
// camera without being held in memory. A plain value, read from any thread by positional reads
// only, so that any number of readers can share the descriptor.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korvane::Utils {

struct FileSlice {
    // Not owned: whoever made the slice keeps the descriptor open while the slice is in use.
    // The file may already be unlinked, so it is never reopened by a name.
    int fd = -1;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Reads exactly `length` bytes at `offset` of the open file `fd` into `out`, retrying
// interrupted and short reads. False on a read error or when the file ends first.
bool readExactly(int fd, std::uint64_t offset, char* out, std::size_t length);

// Writes all of `content` at the open file's position, retrying interrupted and short writes.
// False on a write error.
bool writeAll(int fd, std::string_view content);

}  // namespace korvane::Utils
