#pragma once
// A run of bytes inside a file on disk: how a large upload travels from the local API to the
// camera without being held in memory. A plain value; the file belongs to whoever made it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane::Utils {

struct FileSlice {
    std::string path;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Reads exactly `length` bytes at `offset` of the open file `fd` into `out`, retrying
// interrupted and short reads. False on a read error or when the file ends first.
bool readExactly(int fd, std::uint64_t offset, char* out, std::size_t length);

}  // namespace korvane::Utils
