#pragma once
// Reader of template archives (".evom"): a standard ZIP of the camera's ".evo" template files,
// taken apart in memory so that each file can be uploaded to a camera again. Stateless; safe
// from any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::Utils {

using ArchiveFile = std::pair<std::string, std::vector<std::uint8_t>>;  // (entry name, bytes)

// The archive's files in the order of their names, without directory entries and empty files.
// Throws std::runtime_error("CRC failed for <name>") when an entry's data does not match its
// CRC-32, and the ZIP reader's exception (Poco::Exception) for a malformed archive, which
// includes an entry whose data is longer or shorter than the central directory declares.
std::vector<ArchiveFile> decompressEVOM(std::string_view archive);

}  // namespace korvane::Utils
