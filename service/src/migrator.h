#pragma once
// Applies named schema migrations once each, in registration order, each in its own
// transaction together with its row in the `migrations` table. Used on the main thread
// during the Server's construction, before any other thread touches the database.

#include <Poco/Data/Session.h>

#include <string>
#include <utility>
#include <vector>

namespace korvane::Engine::DB {

class Migrator {
  public:
    explicit Migrator(Poco::Data::Session& session);

    void addMigration(std::string name, std::string sql);
    // Applies every registered migration not yet recorded. A failing migration is rolled
    // back completely and its exception propagates; later migrations are not attempted.
    void migrate();

  private:
    void applyMigration(const std::string& name, const std::string& sql);

    Poco::Data::Session& session_;
    std::vector<std::pair<std::string, std::string>> migrations_;
};

}  // namespace korvane::Engine::DB
