#pragma once
// A run of bytes inside a file on disk: how a large upload travels from the local API to the
// camera without being held in memory. A plain value; the file belongs to whoever made it.

#include <cstdint>
#include <string>

namespace korvane::Utils {

struct FileSlice {
    std::string path;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

}  // namespace korvane::Utils
