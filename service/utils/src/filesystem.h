#pragma once
// Names every place on disk the Agent uses. All paths derive from $HOME, or, when HOME is unset
// or empty, from the effective user's home in the password database; the functions only build
// strings except where a comment says a directory is created. Safe from any thread.

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::Utils::Filesystem {

// "$HOME/.local/share/KORVANE/PellixAgent/", or "" when there is no home at all (a warning then
// goes to standard error once per process).
std::string GetAppData();
// "$HOME/Documents/KORVANE/PellixAgent/", or "" when there is no home at all.
std::string GetDocumentsDirectory();
std::string GetLogDirectory();       // GetAppData() + "logs"
std::string GetDefaultDBPath();      // GetAppData() + "service.db"
std::string GetDefaultConfigPath();  // GetAppData() + "config.json"
// GetDocumentsDirectory() + "images"; tries to create that last level (0755), ignoring failure.
std::string GetDefaultImagesPath();
// Directory of the running executable with a trailing slash, "" when /proc/self/exe is unreadable.
std::string GetExecutableDir();
// Creates one directory level (0755). True when created or already present.
bool CreateDirectoryIfNotExists(const std::string& path);
// Writes bytes to dir/name (dir and its parents are created; an empty dir means the folder
// above the log directory). Replaces an existing file. True when every byte was written;
// otherwise no file of that name is left.
bool SaveEncodedImage(const std::string& name, const std::vector<std::uint8_t>& bytes,
                      const std::string& dir);

}  // namespace korvane::Utils::Filesystem
