#pragma once
// Keeps the Agent to one instance per machine: a scan of /proc for related executables and an
// advisory lock on a fixed lock file. Used by the main thread during start-up and shutdown only.

#include <optional>
#include <string>

namespace korvane::Engine::SingleInstance {

inline constexpr const char* kLockPath = "/tmp/korvane_pellix_agent.lock";

// Target of /proc/<pid>/exe, or "" when it cannot be read.
std::string GetProcExePath(const std::string& pid);

// Whether a process other than this one runs an executable whose file name equals `name`,
// compared case-insensitively. An unreadable procDir counts as not running.
bool IsProcessRunning(const std::string& name, const std::string& procDir = "/proc");

// The first related executable found running ("korvanemonitoringagent", "korvanepellixagent").
std::optional<std::string> FindRunningRelated();

// The operator's notice that another copy runs, for a name as listed.
std::string AlreadyRunningMessage(const std::string& name);

// Writes text to standard error and, under a graphical desktop, shows it in a dialog.
void ShowMessage(const std::string& text);

enum class LockResult { Held, HeldByAnother, Unavailable };

// Opens (mode 0644) and locks path; on success the file holds this process id. Unavailable
// means the file could not be opened or locked for another reason: start without a lock.
LockResult AcquireLock(const std::string& path = kLockPath);
// Releases the lock; removes the lock file only when this process held it.
void ReleaseLock();

}  // namespace korvane::Engine::SingleInstance
