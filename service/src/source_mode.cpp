#include "source_mode.h"

#include <Poco/Data/Session.h>
#include <Poco/Data/Transaction.h>

#include <string>

#include "config_queries.h"
#include "state.h"

namespace korvane::Engine::Sync {

void saveSourceMode(Poco::Data::Session& session, std::mutex& dbMutex, bool enabled,
                    const std::optional<SourceModeSettings>& settings) {
    {
        std::lock_guard lock(dbMutex);
        Poco::Data::Transaction transaction(session);
        Utils::Queries::upsertState(session, "source_mode_enabled", "bool",
                                    enabled ? "true" : "false");
        if (settings) {
            Utils::Queries::upsertState(session, "source_mode_template_threshold", "int",
                                        std::to_string(settings->templateThreshold));
            Utils::Queries::upsertState(session, "source_mode_polling_interval_sec", "int",
                                        std::to_string(settings->pollingIntervalSec));
        }
        transaction.commit();
    }
    State& state = State::getInstance();
    state.set("source_mode_enabled", enabled);
    if (settings) {
        // The loop reads the interval under this key, not under its row key.
        state.set("source_mode_polling_interval", settings->pollingIntervalSec);
        state.set("source_mode_template_threshold", settings->templateThreshold);
    }
}

}  // namespace korvane::Engine::Sync
