#include "config_queries.h"

#include <Poco/Data/Statement.h>

#include "config_conversion.h"

namespace korvane::Utils::Queries {

using Poco::Data::Keywords::bind;
using Poco::Data::Keywords::into;
using Poco::Data::Keywords::limit;
using Poco::Data::Keywords::now;

namespace {

// Both tables share the key/type/value layout; the upsert never changes a row's type.
void upsertKeyValue(Poco::Data::Session& session, const std::string& table, const std::string& key,
                    const std::string& type, const std::string& value) {
    session << "INSERT INTO " + table +
                   " (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, "
                   "CURRENT_TIMESTAMP, ?, ?, ?) ON CONFLICT(key) DO UPDATE SET updated_at = "
                   "CURRENT_TIMESTAMP, value = excluded.value",
        bind(key), bind(type), bind(value), now;
}

ConfigMap loadKeyValues(Poco::Data::Session& session, const std::string& table) {
    ConfigMap map;
    std::string key;
    std::string type;
    std::string value;
    Poco::Data::Statement select(session);
    select << "SELECT key, type, value FROM " + table + " ORDER BY key", into(key), into(type),
        into(value), limit(1);
    while (!select.done()) {
        if (select.execute() == 0) {
            break;
        }
        map[key] = makeTypedValue(value, type);
    }
    return map;
}

}  // namespace

void upsertConfig(Poco::Data::Session& session, const std::string& key, const std::string& type,
                  const std::string& value) {
    upsertKeyValue(session, "configurations", key, type, value);
}

ConfigMap getAllConfigs(Poco::Data::Session& session) {
    return loadKeyValues(session, "configurations");
}

void upsertState(Poco::Data::Session& session, const std::string& key, const std::string& type,
                 const std::string& value) {
    upsertKeyValue(session, "internal_state", key, type, value);
}

ConfigMap getState(Poco::Data::Session& session) {
    return loadKeyValues(session, "internal_state");
}

}  // namespace korvane::Utils::Queries
