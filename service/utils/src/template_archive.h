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

// Most bytes an archive's files may inflate to, all together. Every file is held in memory at
// once, next to the archive itself (a template archive is at most 1 GiB), so this keeps the
// reader's peak near 2 GiB, which the point-of-sale computer can hold; an archive that inflates
// to more is an attack or a corruption, not a set of templates.
inline constexpr std::uint64_t kMaxInflatedTemplateBytes = std::uint64_t{1} << 30;

// The archive's files in the order of their names, without directory entries and empty files.
// Throws std::runtime_error("CRC failed for <name>") when an entry's data does not match its
// CRC-32, and the ZIP reader's exception (Poco::Exception) for a malformed archive, which
// includes an entry whose data is longer or shorter than the central directory declares and an
// archive whose files declare or inflate to more than maxInflated bytes in all.
std::vector<ArchiveFile> decompressEVOM(std::string_view archive,
                                        std::uint64_t maxInflated = kMaxInflatedTemplateBytes);

}  // namespace korvane::Utils
