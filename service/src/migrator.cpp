#include "migrator.h"

#include <Poco/Data/Session.h>
#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>

#include <exception>

#include "logger.h"
#include "sqlite_db.h"

namespace korvane::Engine::DB {

using Poco::Data::Keywords::bind;
using Poco::Data::Keywords::into;
using Poco::Data::Keywords::now;

namespace {

// SQLite ignores "PRAGMA foreign_keys" inside a transaction, and with foreign keys on, dropping
// a parent table deletes the child rows through ON DELETE CASCADE. A migration that rebuilds a
// parent table would then silently empty its children, so migrations run with foreign keys off;
// the connection's previous setting comes back afterwards, also when a migration fails.
class ForeignKeysOff {
  public:
    explicit ForeignKeysOff(Poco::Data::Session& session) : session_(session) {
        session_ << "PRAGMA foreign_keys", into(previous_), now;
        if (previous_ != 0) {
            session_ << "PRAGMA foreign_keys = OFF", now;
        }
    }
    ~ForeignKeysOff() {
        if (previous_ == 0) {
            return;
        }
        try {
            session_ << "PRAGMA foreign_keys = ON", now;
        } catch (const std::exception& e) {
            Log()->error("Could not switch foreign keys back on: {};", e.what());
        }
    }
    ForeignKeysOff(const ForeignKeysOff&) = delete;
    ForeignKeysOff& operator=(const ForeignKeysOff&) = delete;

  private:
    Poco::Data::Session& session_;
    int previous_ = 0;
};

}  // namespace

Migrator::Migrator(Poco::Data::Session& session) : session_(session) {}

void Migrator::addMigration(std::string name, std::string sql) {
    migrations_.emplace_back(std::move(name), std::move(sql));
}

void Migrator::migrate() {
    ForeignKeysOff foreignKeysOff(session_);
    for (const auto& [name, sql] : migrations_) {
        int count = 0;
        session_ << "SELECT COUNT(1) FROM migrations WHERE name=?", into(count), bind(name), now;
        if (count < 1) {
            applyMigration(name, sql);
        }
    }
}

void Migrator::applyMigration(const std::string& name, const std::string& sql) {
    session_.begin();
    try {
        executeBatch(session_, sql);
        const std::string appliedAt =
            Poco::DateTimeFormatter::format(Poco::DateTime(), "%Y-%m-%d %H:%M:%S");
        session_ << "INSERT INTO migrations(name, applied_at) VALUES(?, ?)", bind(name),
            bind(appliedAt), now;
        session_.commit();
    } catch (...) {
        try {
            session_.rollback();
        } catch (const std::exception& e) {
            // SQLite may already have rolled back on its own (e.g. a full disk); the original
            // failure is the one worth reporting.
            Log()->error("Rollback of migration {} failed: {};", name, e.what());
        }
        throw;
    }
}

}  // namespace korvane::Engine::DB
