#pragma once
// Queries on the `configurations` and `internal_state` tables. Every function expects the
// caller to hold the database mutex; statement errors propagate as Poco::Data exceptions.

#include <Poco/Data/Session.h>

#include <string>

#include "config_map.h"

namespace korvane::Utils::Queries {

// Inserts the row or, when the key exists, changes only its value and updated_at.
void upsertConfig(Poco::Data::Session& session, const std::string& key, const std::string& type,
                  const std::string& value);
// Every row converted with makeTypedValue.
ConfigMap getAllConfigs(Poco::Data::Session& session);
void upsertState(Poco::Data::Session& session, const std::string& key, const std::string& type,
                 const std::string& value);
ConfigMap getState(Poco::Data::Session& session);

}  // namespace korvane::Utils::Queries
