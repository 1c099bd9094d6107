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

// True for the three keys whose values are stored encrypted.
bool isEncryptedKey(const std::string& key);

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
