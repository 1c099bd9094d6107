#pragma once
// Conversions between stored configuration rows, the in-memory map and JSON objects.

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Object.h>

#include <mutex>
#include <string>

#include "config_map.h"

namespace korvane::Engine::DB {
class SQLiteDB;
}

namespace korvane::Utils {

// True for the keys whose values are stored encrypted: the monitoring client secret, the file
// storage login and password, and the local API's admin token.
bool isEncryptedKey(const std::string& key);

// What a secret shows as wherever the configuration leaves the Agent in a readable form.
inline constexpr const char* kMaskedSecret = "***";
// A copy of `object` in which every encrypted key with a non-empty value holds kMaskedSecret;
// an empty one stays empty, so that a reader can still tell that it is unset.
Poco::JSON::Object::Ptr maskSecrets(const Poco::JSON::Object& object);
// A copy of `object` without the encrypted keys that hold exactly kMaskedSecret: a reader
// that writes back what it was shown leaves the stored secrets as they are.
Poco::JSON::Object::Ptr withoutMaskedSecrets(const Poco::JSON::Object& object);

// Stored text and type string to the typed value; a text that does not convert stays a string.
Poco::Dynamic::Var makeTypedValue(const std::string& value, const std::string& type);

// Every map entry under its key with its plain typed value.
Poco::JSON::Object::Ptr configToJson(const ConfigMap& map);

// Validates, stores (one transaction) and applies a JSON object of settings. Takes `mutex`
// itself. All or nothing: on any exception neither the table nor the map changes. A member
// that is not a string, number or bool throws InvalidRequest("Invalid config value type").
void jsonToConfig(const Poco::JSON::Object::Ptr& object, std::mutex& mutex,
                  Engine::DB::SQLiteDB& db, ConfigMap& map);

}  // namespace korvane::Utils
