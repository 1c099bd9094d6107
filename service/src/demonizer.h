#pragma once
// Registers the Agent for automatic start: a system service unit or a per-user desktop
// autostart entry. It writes one text file and nothing else (no enabling, no directories).
// Stateless; callable from any thread, though it is meant for installation tools.

#include <string>

namespace korvane::Engine {

enum class Mode { Autostart = 0, Service = 1 };

namespace Demonizer {

// Writes the file that belongs to mode at its standard place, replacing an existing one.
// A file that cannot be written is silently left alone. Throws std::runtime_error in
// autostart mode when HOME is unset.
void Setup(const std::string& execPath, Mode mode);

// As above, but writes to targetPath. Never throws; write failures are not reported.
void Setup(const std::string& execPath, Mode mode, const std::string& targetPath);

// The standard place of the file for mode. Throws std::runtime_error in autostart mode when
// HOME is unset.
std::string TargetPath(Mode mode);

// The exact file text for mode, with execPath inserted unquoted.
std::string FileText(const std::string& execPath, Mode mode);

}  // namespace Demonizer
}  // namespace korvane::Engine
