// libFuzzer target for the import of a config.json: the file's text is parsed and applied to
// a migrated throw-away database and its configuration map as at start-up. The import is all
// or nothing: when it throws, neither the table nor the map changed; when it succeeds, both
// hold its keys and every other setting is as it was.

#include <Poco/Exception.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "config_conversion.h"
#include "config_queries.h"
#include "in_process_server.h"
#include "migrator.h"
#include "responses.h"
#include "schema_migrations.h"
#include "sqlite_db.h"

namespace {

using korvane::Fuzz::require;
namespace Utils = korvane::Utils;
namespace DB = korvane::Engine::DB;

// A freshly migrated database. Imports add keys for good, and every check reads the whole
// table, so the fuzzer starts over on a new one now and then to stay fast.
struct Store {
    explicit Store(int generation)
        : path(korvane::Fuzz::throwAwayFolder() + "/service-" + std::to_string(generation) + ".db"),
          db(path) {
        db.Execute(DB::kMigrationsTableDdl);
        DB::Migrator migrator(db.GetSession());
        const std::string images = korvane::Fuzz::throwAwayFolder() + "/images";
        for (auto& [name, sql] : DB::schemaMigrations(images, "GNU/Linux")) {
            migrator.addMigration(name, sql);
        }
        migrator.migrate();
        map = Utils::Queries::getAllConfigs(db.GetSession());
    }
    ~Store() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }

    std::string path;
    DB::SQLiteDB db;
    std::mutex mutex;
    Utils::ConfigMap map;
};

Store& freshEnough() {
    constexpr int kRunsPerStore = 256;
    static int runs = 0;
    static std::unique_ptr<Store> store;
    if (runs++ % kRunsPerStore == 0) {
        store.reset();
        store = std::make_unique<Store>(runs);
    }
    return *store;
}

// Key to text of every setting, encrypted ones as stored (cipher text in the table, plain
// text in the map), so that only like is compared with like.
std::map<std::string, std::string> texts(const Utils::ConfigMap& map) {
    std::map<std::string, std::string> result;
    for (const auto& [key, value] : map) {
        result[key] = value.isEmpty() ? std::string("<empty>") : value.convert<std::string>();
    }
    return result;
}

// What an import leaves behind: its keys in table and map, every other setting unchanged.
// (A row keeps its type, so a value of another type may read back converted after a restart.)
void checkApplied(const Poco::JSON::Object::Ptr& import, std::map<std::string, std::string> before,
                  std::map<std::string, std::string> after) {
    for (const auto& [key, value] : *import) {
        require(after.contains(key), "an imported key is missing");
        before.erase(key);
        after.erase(key);
    }
    require(before == after, "an import changed a setting it does not name");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Store& store = freshEnough();
    Poco::JSON::Object::Ptr import;
    try {
        import = Utils::parseJsonObject(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
        return 0;
    }
    const auto mapBefore = texts(store.map);
    const auto tableBefore = texts(Utils::Queries::getAllConfigs(store.db.GetSession()));
    try {
        Utils::jsonToConfig(import, store.mutex, store.db, store.map);
    } catch (const std::exception&) {
        require(texts(store.map) == mapBefore, "a refused import changed the map");
        require(texts(Utils::Queries::getAllConfigs(store.db.GetSession())) == tableBefore,
                "a refused import changed the table");
        return 0;
    }
    checkApplied(import, mapBefore, texts(store.map));
    checkApplied(import, tableBefore, texts(Utils::Queries::getAllConfigs(store.db.GetSession())));
    return 0;
}
