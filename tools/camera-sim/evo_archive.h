// The camera's template files: a ".evo" file holds the templates of one product in the
// simulator's own format, and a ".evom" archive is a standard ZIP of ".evo" files. Stateless;
// callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane::CameraSim {

struct EvoTemplates {
    std::string id;
    std::vector<std::string> templates;
};

using ArchiveEntries = std::vector<std::pair<std::string, std::string>>;  // (name, bytes)

std::string makeEvo(const EvoTemplates& content);
// Empty when the bytes are not a template file of this camera.
std::optional<EvoTemplates> readEvo(const std::string& bytes);

bool looksLikeZip(const std::string& bytes);
std::string makeEvom(const ArchiveEntries& entries);
// The archive's file entries in directory order; a broken archive or a CRC mismatch throws the
// ZIP reader's exception.
ArchiveEntries readEvom(const std::string& bytes);

}  // namespace korvane::CameraSim
