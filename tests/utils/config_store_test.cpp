#include <Poco/Data/Session.h>
#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>
#include <gtest/gtest.h>

#include <mutex>
#include <sstream>
#include <string>
#include <tuple>
#include <typeinfo>
#include <vector>

#include "config_conversion.h"
#include "config_queries.h"
#include "crypto.h"
#include "invalid_request.h"
#include "migrator.h"
#include "schema_migrations.h"
#include "sqlite_db.h"
#include "temp_dir.h"

namespace {

using korvane::Utils::ConfigMap;
using korvane::Utils::jsonToConfig;
using korvane::Utils::makeTypedValue;
using Poco::Data::Keywords::bind;
using Poco::Data::Keywords::into;
using Poco::Data::Keywords::now;
namespace Queries = korvane::Utils::Queries;
namespace Crypto = korvane::Utils::Crypto;

class ConfigStoreTest : public ::testing::Test {
  protected:
    ConfigStoreTest() : db_(dir_.file("service.db")) {
        db_.Execute(korvane::Engine::DB::kMigrationsTableDdl);
        korvane::Engine::DB::Migrator migrator(db_.GetSession());
        for (auto& [name, sql] :
             korvane::Engine::DB::schemaMigrations("/tmp/images", "GNU/Linux")) {
            migrator.addMigration(name, sql);
        }
        migrator.migrate();
    }

    struct Row {
        std::string type;
        std::string value;
        std::string createdAt;
    };
    Row row(const std::string& table, const std::string& key) {
        Row r;
        db_.GetSession() << "SELECT type, value, created_at FROM " + table + " WHERE key=?",
            into(r.type), into(r.value), into(r.createdAt), bind(key), now;
        return r;
    }
    int rowCount(const std::string& table) {
        int n = 0;
        db_.GetSession() << "SELECT COUNT(*) FROM " + table, into(n), now;
        return n;
    }

    static Poco::JSON::Object::Ptr parse(const std::string& json) {
        return Poco::JSON::Parser().parse(json).extract<Poco::JSON::Object::Ptr>();
    }

    korvane::Testing::TempDir dir_;
    korvane::Engine::DB::SQLiteDB db_;
    std::mutex mutex_;
};

template <typename T>
void expectTyped(const Poco::Dynamic::Var& var, const T& expected, const std::string& label) {
    ASSERT_EQ(var.type(), typeid(T)) << label << " holds " << var.type().name();
    EXPECT_EQ(var.extract<T>(), expected) << label;
}

TEST_F(ConfigStoreTest, LoadsDefaultsWithTheirTypes) {
    const ConfigMap config = Queries::getAllConfigs(db_.GetSession());
    EXPECT_EQ(config.size(), 16u);
    expectTyped(config.at("monitoring_request_frequency"), 20000, "frequency");
    expectTyped(config.at("monitoring_getting_tasks"), true, "getting tasks");
    expectTyped(config.at("device_port"), std::string("80"), "device port");
    // Unencrypted defaults of encrypted keys are read as they stand.
    expectTyped(config.at("file_storage_service_login"), std::string("orchard"), "login");
    expectTyped(config.at("korvane_monitoring_client_secret"), std::string(), "secret");

    const ConfigMap state = Queries::getState(db_.GetSession());
    EXPECT_EQ(state.size(), 3u);
    expectTyped(state.at("source_mode_enabled"), false, "enabled");
    expectTyped(state.at("source_mode_template_threshold"), 10, "threshold");
    expectTyped(state.at("source_mode_polling_interval_sec"), 300, "interval");
}

TEST_F(ConfigStoreTest, UpsertChangesOnlyTheValue) {
    db_.GetSession() << "UPDATE configurations SET created_at='2000-01-01 00:00:00'", now;
    Queries::upsertConfig(db_.GetSession(), "monitoring_request_frequency", "string", "5000");
    Queries::upsertConfig(db_.GetSession(), "brand_new", "double", "2.5");
    const Row updated = row("configurations", "monitoring_request_frequency");
    EXPECT_EQ(updated.type, "int");
    EXPECT_EQ(updated.value, "5000");
    EXPECT_EQ(updated.createdAt, "2000-01-01 00:00:00");
    EXPECT_EQ(row("configurations", "brand_new").type, "double");

    Queries::upsertState(db_.GetSession(), "source_mode_enabled", "string", "true");
    Queries::upsertState(db_.GetSession(), "source_mode_product", "string", "A1");
    const ConfigMap state = Queries::getState(db_.GetSession());
    expectTyped(state.at("source_mode_enabled"), true, "enabled");
    expectTyped(state.at("source_mode_product"), std::string("A1"), "product");
}

TEST_F(ConfigStoreTest, StoredTextConvertsToItsTypeOrStaysText) {
    const std::string secret = Crypto::encrypt("p@ss");
    struct Case {
        std::string value, type;
        Poco::Dynamic::Var expected;
    };
    const std::vector<Case> cases = {
        {"abc", "int", std::string("abc")},
        {"  -42 apples", "int", -42},
        {"+7", "int", 7},
        {"-2147483648", "int", -2147483647 - 1},
        {"2147483648", "int", std::string("2147483648")},
        {"+-1", "int", std::string("+-1")},
        {"1.5e3 grams", "double", 1500.0},
        {" -0.25", "double", -0.25},
        {"x1", "double", std::string("x1")},
        {"1e999", "double", std::string("1e999")},
        {"true", "bool", true},
        {"TRUE", "bool", false},
        {"1", "bool", false},
        {"", "int", std::string()},
        {"", "encrypted_string", std::string()},
        {"orchard", "encrypted_string", std::string("orchard")},
        {"not base64 !!", "encrypted_string", std::string("not base64 !!")},
        {"AAAAAAAAAAAAAAAAAAAAAA==", "encrypted_string", std::string("AAAAAAAAAAAAAAAAAAAAAA==")},
        {secret, "encrypted_string", std::string("p@ss")},
        {"hello", "string", std::string("hello")},
        {"42", "something_else", std::string("42")},
    };
    for (const auto& c : cases) {
        const Poco::Dynamic::Var got = makeTypedValue(c.value, c.type);
        const std::string label = c.type + " '" + c.value + "'";
        ASSERT_EQ(got.type(), c.expected.type()) << label << " holds " << got.type().name();
        EXPECT_EQ(got, c.expected) << label;
    }
}

TEST_F(ConfigStoreTest, JsonSettingsAreStoredTypedAndSecretsEncrypted) {
    ConfigMap config = Queries::getAllConfigs(db_.GetSession());
    jsonToConfig(parse(R"({
        "file_storage_service_login": "  abc  ",
        "korvane_monitoring_client_secret": "s3cr3t-value",
        "file_storage_service_password": 12345,
        "monitoring_request_frequency": "30000",
        "new_flag": true,
        "new_ratio": 0.25,
        "new_count": 5,
        "new_big": 18446744073709551615,
        "device_ip": " 10.0.0.9\n"
    })"),
                 mutex_, db_, config);

    EXPECT_TRUE(mutex_.try_lock());
    mutex_.unlock();

    for (const auto& [key, plain] : std::vector<std::pair<std::string, std::string>>{
             {"file_storage_service_login", "abc"},
             {"korvane_monitoring_client_secret", "s3cr3t-value"},
             {"file_storage_service_password", "12345"}}) {
        const Row stored = row("configurations", key);
        EXPECT_EQ(stored.type, "encrypted_string") << key;
        EXPECT_EQ(stored.value.find(plain), std::string::npos) << key << " stored in clear";
        EXPECT_EQ(Crypto::decrypt(stored.value), plain) << key;
    }
    expectTyped(config.at("file_storage_service_login"), std::string("abc"), "login in map");
    expectTyped(config.at("device_ip"), std::string("10.0.0.9"), "ip in map");
    expectTyped(config.at("new_count"), Poco::Int64(5), "count in map");

    // The row keeps its type; the map has the text until the next load.
    EXPECT_EQ(row("configurations", "monitoring_request_frequency").type, "int");
    expectTyped(config.at("monitoring_request_frequency"), std::string("30000"), "frequency");

    const std::vector<std::tuple<std::string, std::string, std::string>> rows = {
        {"new_flag", "bool", "true"},        {"new_ratio", "double", "0.25"},
        {"new_count", "int", "5"},           {"new_big", "int", "18446744073709551615"},
        {"device_ip", "string", "10.0.0.9"},
    };
    for (const auto& [key, type, value] : rows) {
        const Row stored = row("configurations", key);
        EXPECT_EQ(stored.type, type) << key;
        EXPECT_EQ(stored.value, value) << key;
    }

    const ConfigMap reloaded = Queries::getAllConfigs(db_.GetSession());
    expectTyped(reloaded.at("monitoring_request_frequency"), 30000, "frequency reloaded");
    expectTyped(reloaded.at("file_storage_service_login"), std::string("abc"), "login reloaded");
    expectTyped(reloaded.at("file_storage_service_password"), std::string("12345"), "password");
    expectTyped(reloaded.at("new_flag"), true, "flag reloaded");
    expectTyped(reloaded.at("new_ratio"), 0.25, "ratio reloaded");
    expectTyped(reloaded.at("new_count"), 5, "count reloaded");
    // Too large for the 32-bit integer a stored "int" becomes.
    expectTyped(reloaded.at("new_big"), std::string("18446744073709551615"), "big reloaded");
}

TEST_F(ConfigStoreTest, InvalidMemberChangesNothing) {
    for (const std::string& bad :
         {std::string("null"), std::string("[1, 2]"), std::string(R"({"x": 1})")}) {
        ConfigMap config = Queries::getAllConfigs(db_.GetSession());
        const ConfigMap before = config;
        const int rowsBefore = rowCount("configurations");
        // Members are visited in key order: the valid ones come first and are written before
        // the bad one is seen.
        const auto object = parse(R"({"a_new_key": "x", "device_port": "81",
                                     "file_storage_service_password": "pw", "zz_bad": )" +
                                  bad + "}");
        try {
            jsonToConfig(object, mutex_, db_, config);
            FAIL() << bad << " accepted";
        } catch (const korvane::Utils::InvalidRequest& e) {
            EXPECT_STREQ(e.what(), "Invalid config value type");
        }
        EXPECT_TRUE(mutex_.try_lock()) << "mutex left locked";
        mutex_.unlock();
        EXPECT_FALSE(db_.GetSession().isTransaction());
        EXPECT_EQ(rowCount("configurations"), rowsBefore) << bad;
        EXPECT_EQ(row("configurations", "device_port").value, "80") << bad;
        EXPECT_EQ(row("configurations", "file_storage_service_password").value, "") << bad;
        EXPECT_EQ(config.size(), before.size()) << bad;
        EXPECT_EQ(config.count("a_new_key"), 0u) << bad;
        expectTyped(config.at("device_port"), std::string("80"), "port in map");
    }
    // Nothing is left half-open: the next change goes through.
    ConfigMap config;
    jsonToConfig(parse(R"({"device_port": "82"})"), mutex_, db_, config);
    EXPECT_EQ(row("configurations", "device_port").value, "82");
}

TEST_F(ConfigStoreTest, ConfigToJsonKeepsThePlainTypedValues) {
    const ConfigMap config = {{"count", 5},
                              {"name", std::string("pellix")},
                              {"enabled", true},
                              {"ratio", 1.5},
                              {"big", Poco::Int64(5000000000)}};
    std::ostringstream out;
    Poco::JSON::Stringifier::stringify(korvane::Utils::configToJson(config), out);
    EXPECT_EQ(out.str(),
              R"({"big":5000000000,"count":5,"enabled":true,"name":"pellix","ratio":1.5})");
    EXPECT_EQ(korvane::Utils::configToJson({})->size(), 0u);
}

}  // namespace
