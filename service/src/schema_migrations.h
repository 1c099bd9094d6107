#pragma once
// The database schema as an ordered list of named migrations, and the DDL of the table that
// records them. Texts are exact: stored databases depend on them, so never edit an
// existing migration; add a new one at the end.

#include <string>
#include <utility>
#include <vector>

namespace korvane::Engine::DB {

extern const char* const kMigrationsTableDdl;

// The migrations in application order. imagesFolder and osType complete the default
// configuration rows of "config_initials" (SQL quoting is done here).
std::vector<std::pair<std::string, std::string>> schemaMigrations(const std::string& imagesFolder,
                                                                  const std::string& osType);

}  // namespace korvane::Engine::DB
