#include "migrator.h"

#include <Poco/Data/Session.h>
#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "schema_migrations.h"
#include "sqlite_db.h"
#include "temp_dir.h"

namespace {

using korvane::Engine::DB::kMigrationsTableDdl;
using korvane::Engine::DB::Migrator;
using korvane::Engine::DB::schemaMigrations;
using korvane::Engine::DB::SQLiteDB;
using Poco::Data::Keywords::bind;
using Poco::Data::Keywords::into;
using Poco::Data::Keywords::now;

using Migrations = std::vector<std::pair<std::string, std::string>>;

class MigratorTest : public ::testing::Test {
  protected:
    std::unique_ptr<SQLiteDB> open() {
        auto db = std::make_unique<SQLiteDB>(dir_.file("service.db"));
        db->Execute(kMigrationsTableDdl);
        return db;
    }

    static void migrate(SQLiteDB& db, const Migrations& migrations) {
        Migrator migrator(db.GetSession());
        for (const auto& [name, sql] : migrations) {
            migrator.addMigration(name, sql);
        }
        migrator.migrate();
    }

    static int count(SQLiteDB& db, const std::string& sql) {
        int n = -1;
        db.GetSession() << sql, into(n), now;
        return n;
    }

    static bool tableExists(SQLiteDB& db, const std::string& table) {
        int n = 0;
        db.GetSession() << "SELECT COUNT(1) FROM sqlite_master WHERE type='table' AND name=?",
            into(n), bind(table), now;
        return n == 1;
    }

    static std::vector<std::string> appliedNames(SQLiteDB& db) {
        std::vector<std::string> names;
        db.GetSession() << "SELECT name FROM migrations ORDER BY id", into(names), now;
        return names;
    }

    static int foreignKeys(SQLiteDB& db) { return count(db, "PRAGMA foreign_keys"); }

    korvane::Testing::TempDir dir_;
};

const std::vector<std::string> kAllNames = {
    "db_initials",     "config_initials",  "db_add_statistic",     "db_add_alert",
    "db_add_state",    "change_code_type", "add_predictions_rate", "add_queue_order_indexes",
    "add_dead_letters"};

TEST_F(MigratorTest, FreshDatabaseGetsEveryMigrationAndTheDefaultRows) {
    const std::string folder = "/home/o'neil/Pellix's images";
    auto db = open();
    migrate(*db, schemaMigrations(folder, "GNU/Linux"));

    EXPECT_EQ(appliedNames(*db), kAllNames);
    std::vector<std::string> appliedAt;
    db->GetSession() << "SELECT applied_at FROM migrations", into(appliedAt), now;
    for (const auto& at : appliedAt) {
        EXPECT_TRUE(std::regex_match(at, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << at;
    }

    EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM configurations"), 16);
    const std::vector<std::tuple<std::string, std::string, std::string>> expected = {
        {"monitoring_service_type", "string", "KORVANE_MONITORING"},
        {"monitoring_service_port", "string", "443"},
        {"monitoring_getting_tasks", "bool", "true"},
        {"monitoring_request_frequency", "int", "20000"},
        {"korvane_monitoring_client_secret", "encrypted_string", ""},
        {"file_storage_service_login", "encrypted_string", "orchard"},
        {"device_port", "string", "80"},
        {"product_prediction_data_folder_path", "string", folder},
        {"device_ip", "string", "172.22.0.7"},
        {"recognition_image_sending_enable", "bool", "true"},
    };
    for (const auto& [key, type, value] : expected) {
        std::string storedType, storedValue, storageClass;
        db->GetSession() << "SELECT type, value, typeof(value) FROM configurations WHERE key=?",
            into(storedType), into(storedValue), into(storageClass), bind(key), now;
        EXPECT_EQ(storedType, type) << key;
        EXPECT_EQ(storedValue, value) << key;
        EXPECT_EQ(storageClass, "text") << key;
    }
    EXPECT_EQ(count(*db,
                    "SELECT COUNT(*) FROM configurations WHERE created_at IS NULL OR "
                    "updated_at IS NULL"),
              0);

    EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM internal_state"), 3);
    EXPECT_EQ(count(*db,
                    "SELECT value FROM internal_state WHERE "
                    "key='source_mode_polling_interval_sec' AND type='int'"),
              300);

    // Column order matters to later rebuilds that copy with SELECT *.
    std::vector<std::string> columns;
    db->GetSession() << "SELECT name FROM pragma_table_info('predictions') ORDER BY cid",
        into(columns), now;
    EXPECT_EQ(columns,
              (std::vector<std::string>{"id", "created_at", "updated_at", "sid", "response_time_ms",
                                        "top1", "top2", "top3", "top4", "top5", "rate1", "rate2",
                                        "rate3", "rate4", "rate5"}));
    std::string codeType;
    db->GetSession() << "SELECT type FROM pragma_table_info('recognition_queue') WHERE "
                        "name='product_code'",
        into(codeType), now;
    EXPECT_EQ(codeType, "TEXT");
    for (const char* table : {"prediction_daily", "prediction_monthly", "prediction_yearly",
                              "alert_queue", "products", "recognition_values"}) {
        EXPECT_TRUE(tableExists(*db, table)) << table;
    }
}

TEST_F(MigratorTest, DatabaseUsesWriteAheadLoggingWithFullSync) {
    auto db = open();
    std::string mode;
    db->GetSession() << "PRAGMA journal_mode", into(mode), now;
    EXPECT_EQ(mode, "wal");
    EXPECT_EQ(count(*db, "PRAGMA synchronous"), 2);  // FULL
}

TEST(SchemaMigrations, DeviceAddressDependsOnTheOsType) {
    for (const auto& [osType, ip, other] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"Windows", "'172.22.0.6'", "'172.22.0.7'"},
             {"windows", "'172.22.0.7'", "'172.22.0.6'"}}) {
        const std::string sql = schemaMigrations("/tmp", osType).at(1).second;
        EXPECT_NE(sql.find(ip), std::string::npos) << osType;
        EXPECT_EQ(sql.find(other), std::string::npos) << osType;
    }
}

TEST_F(MigratorTest, SecondStartAppliesNothing) {
    std::vector<std::string> firstAppliedAt;
    {
        auto db = open();
        migrate(*db, schemaMigrations("/first/folder", "GNU/Linux"));
        db->GetSession() << "SELECT applied_at FROM migrations ORDER BY id", into(firstAppliedAt),
            now;
    }
    auto db = open();
    // A changed folder must not reach an existing database.
    migrate(*db, schemaMigrations("/second/folder", "Windows"));

    std::vector<std::string> appliedAt;
    db->GetSession() << "SELECT applied_at FROM migrations ORDER BY id", into(appliedAt), now;
    EXPECT_EQ(appliedAt, firstAppliedAt);
    EXPECT_EQ(appliedNames(*db), kAllNames);
    EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM configurations"), 16);
    EXPECT_EQ(count(*db,
                    "SELECT COUNT(*) FROM configurations WHERE "
                    "value IN ('/second/folder', '172.22.0.6')"),
              0);
}

TEST_F(MigratorTest, CodeTypeChangeKeepsQueuedRecognitionsAndTheirValues) {
    const Migrations all = schemaMigrations("/tmp/images", "GNU/Linux");
    auto db = open();
    migrate(*db, Migrations(all.begin(), all.begin() + 5));
    ASSERT_EQ(appliedNames(*db).size(), 5u);

    db->Execute(R"SQL(
        INSERT INTO recognition_queue VALUES
            (3, '2024-01-01 10:00:00', '2024-01-01 10:00:00', 'sid-3', 'manual', '1', 4711,
             'fruit', 'Apple', 0.25, 120, NULL),
            (9, '2024-01-01 10:01:00', '2024-01-01 10:01:00', 'sid-9', 'top', '2', 815,
             'veg', 'Leek', 1.5, 80, 'https://x/y.jpg');
        INSERT INTO recognition_values (created_at, updated_at, product_code, product_category,
                                        product_name, product_rate, rid, top) VALUES
            (1, 1, '4711', 'fruit', 'Apple', 0.9, 3, 1),
            (1, 1, '4712', 'fruit', 'Pear', 0.1, 3, 2),
            (1, 1, '815', 'veg', 'Leek', 0.7, 9, 1);
    )SQL");
    // The connection runs with foreign keys on, as a later writer of the queue would have it.
    db->GetSession() << "PRAGMA foreign_keys = ON", now;
    ASSERT_EQ(foreignKeys(*db), 1);

    migrate(*db, all);

    EXPECT_EQ(appliedNames(*db), kAllNames);
    std::vector<int> ids;
    std::vector<std::string> codes, storageClasses;
    db->GetSession() << "SELECT id, product_code, typeof(product_code) FROM recognition_queue "
                        "ORDER BY id",
        into(ids), into(codes), into(storageClasses), now;
    EXPECT_EQ(ids, (std::vector<int>{3, 9}));
    EXPECT_EQ(codes, (std::vector<std::string>{"4711", "815"}));
    EXPECT_EQ(storageClasses, (std::vector<std::string>{"text", "text"}));
    std::vector<int> rids;
    db->GetSession() << "SELECT rid FROM recognition_values ORDER BY id", into(rids), now;
    EXPECT_EQ(rids, (std::vector<int>{3, 3, 9}));

    EXPECT_EQ(foreignKeys(*db), 1) << "the connection's setting comes back after migrating";
    // The foreign key still refers to the rebuilt table and cascades.
    db->GetSession() << "DELETE FROM recognition_queue WHERE id=3", now;
    EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM recognition_values"), 1);
    // New rows continue after the kept ids.
    db->Execute(
        "INSERT INTO recognition_queue (created_at, updated_at, sid, method_of_selection, "
        "position_relevance, product_code, product_category, product_name, product_weight, "
        "response_time_ms) VALUES (1, 1, 's', 'm', 'p', '0042', 'c', 'n', 1.0, 5)");
    EXPECT_EQ(count(*db, "SELECT MAX(id) FROM recognition_queue"), 10);
    std::string code;
    db->GetSession() << "SELECT product_code FROM recognition_queue WHERE id=10", into(code), now;
    EXPECT_EQ(code, "0042");
}

TEST_F(MigratorTest, FailingMigrationLeavesNoTraceAndStopsLaterOnes) {
    auto db = open();
    db->GetSession() << "PRAGMA foreign_keys = ON", now;
    const Migrations migrations = {
        {"first", "CREATE TABLE first_table (x INTEGER);"},
        {"broken",
         "CREATE TABLE half_done (x INTEGER); INSERT INTO half_done VALUES (1); "
         "INSERT INTO no_such_table VALUES (1);"},
        {"later", "CREATE TABLE later_table (x INTEGER);"},
    };
    try {
        migrate(*db, migrations);
        FAIL() << "migrate() must throw";
    } catch (const Poco::Exception& e) {
        EXPECT_NE(e.displayText().find("no such table: no_such_table"), std::string::npos)
            << e.displayText();
    }
    EXPECT_EQ(appliedNames(*db), (std::vector<std::string>{"first"}));
    EXPECT_TRUE(tableExists(*db, "first_table"));
    EXPECT_FALSE(tableExists(*db, "half_done"));
    EXPECT_FALSE(tableExists(*db, "later_table"));
    EXPECT_EQ(foreignKeys(*db), 1);
    EXPECT_FALSE(db->GetSession().isTransaction());

    // Retried at the next start once fixed; the session is usable again.
    Migrations fixed = migrations;
    fixed[1].second = "CREATE TABLE half_done (x INTEGER); INSERT INTO half_done VALUES (1);";
    migrate(*db, fixed);
    EXPECT_EQ(appliedNames(*db), (std::vector<std::string>{"first", "broken", "later"}));
    EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM half_done"), 1);
}

TEST_F(MigratorTest, ExecuteRunsEveryStatementAndReportsSqliteErrors) {
    auto db = open();
    db->Execute(
        "CREATE TABLE a (x INTEGER); CREATE TABLE b (y TEXT);\n"
        "INSERT INTO a VALUES (1); INSERT INTO a VALUES (2); INSERT INTO b VALUES ('z');");
    EXPECT_EQ(count(*db, "SELECT SUM(x) FROM a"), 3);
    EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM b"), 1);

    try {
        db->Execute("INSERT INTO a VALUES (3); SELEKT 1;");
        FAIL() << "Execute must throw";
    } catch (const Poco::Exception& e) {
        EXPECT_NE(e.displayText().find("syntax error"), std::string::npos) << e.displayText();
    }
    // Statements before the failing one have run (no transaction around a plain Execute).
    EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM a"), 3);
}

}  // namespace
