#pragma once
// Test fixture: a fully migrated service.db in a fresh temporary directory, with helpers that
// read or back-date rows through plain SQL.

#include <Poco/Data/Session.h>
#include <gtest/gtest.h>

#include <string>

#include "migrator.h"
#include "schema_migrations.h"
#include "sqlite_db.h"
#include "temp_dir.h"

namespace korvane::Testing {

class MigratedStoreTest : public ::testing::Test {
  protected:
    MigratedStoreTest() : db_(dir_.file("service.db")) {
        db_.Execute(Engine::DB::kMigrationsTableDdl);
        Engine::DB::Migrator migrator(db_.GetSession());
        for (auto& [name, sql] : Engine::DB::schemaMigrations(dir_.file("images"), "GNU/Linux")) {
            migrator.addMigration(name, sql);
        }
        migrator.migrate();
    }

    Poco::Data::Session& session() { return db_.GetSession(); }

    // First column of the first row of sql, as an integer.
    int scalar(const std::string& sql) {
        int value = 0;
        session() << sql, Poco::Data::Keywords::into(value), Poco::Data::Keywords::now;
        return value;
    }

    std::string text(const std::string& sql) {
        std::string value;
        session() << sql, Poco::Data::Keywords::into(value), Poco::Data::Keywords::now;
        return value;
    }

    void execute(const std::string& sql) { db_.Execute(sql); }

    TempDir dir_;
    Engine::DB::SQLiteDB db_;
};

}  // namespace korvane::Testing
