#pragma once
// The source-mode settings the monitoring service hands the Agent (by its check-actual answer
// or a set-source-mode task), kept in the database for the next start and in the State store
// for the running loop and the local API. Called from the monitoring loop's thread.

#include <mutex>
#include <optional>

namespace Poco::Data {
class Session;
}

namespace korvane::Engine::Sync {

struct SourceModeSettings {
    int templateThreshold = 0;
    int pollingIntervalSec = 0;
};

// One transaction under dbMutex, then State. Without settings only the on/off flag changes.
void saveSourceMode(Poco::Data::Session& session, std::mutex& dbMutex, bool enabled,
                    const std::optional<SourceModeSettings>& settings);

}  // namespace korvane::Engine::Sync
