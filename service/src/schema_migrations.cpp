#include "schema_migrations.h"

namespace korvane::Engine::DB {

const char* const kMigrationsTableDdl =
    "CREATE TABLE IF NOT EXISTS migrations ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "name TEXT NOT NULL UNIQUE, "
    "applied_at TEXT NOT NULL);";

namespace {

const char* const kDbInitials = R"SQL(
CREATE TABLE IF NOT EXISTS configurations (
    key TEXT PRIMARY KEY,
    type TEXT NOT NULL,
    value TEXT NOT NULL,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    updated_at DATETIME DEFAULT CURRENT_TIMESTAMP
);
CREATE TABLE recognition_queue (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    sid TEXT NOT NULL,
    method_of_selection TEXT NOT NULL,
    position_relevance TEXT NOT NULL,
    product_code INTEGER NOT NULL,
    product_category TEXT NOT NULL,
    product_name TEXT NOT NULL,
    product_weight REAL NOT NULL,
    response_time_ms INTEGER NOT NULL,
    image_url TEXT NULL
);
CREATE TABLE recognition_values (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    product_code TEXT NOT NULL,
    product_category TEXT NOT NULL,
    product_name TEXT NOT NULL,
    product_rate REAL NOT NULL,
    rid INTEGER NOT NULL,
    top INTEGER NOT NULL,
    CONSTRAINT recognition_values_recognition_queue_FK FOREIGN KEY (rid)
        REFERENCES recognition_queue(id) ON DELETE CASCADE,
    UNIQUE(rid, top)
);
CREATE TABLE predictions (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    sid TEXT NOT NULL,
    response_time_ms INTEGER NOT NULL,
    top1 TEXT NULL,
    top2 TEXT NULL,
    top3 TEXT NULL,
    top4 TEXT NULL,
    top5 TEXT NULL
);
)SQL";

// The fixed part of the default configuration; the rows that depend on the installation are
// appended by configInitials().
const char* const kConfigInitialsFixed = R"SQL(
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'monitoring_service_type', 'string', 'KORVANE_MONITORING');
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'monitoring_service_address', 'string', 'https://monitoring.korvane.example');
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'monitoring_service_port', 'string', '443');
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'monitoring_getting_tasks', 'bool', 'true');
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'monitoring_request_frequency', 'int', 20000);
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'korvane_monitoring_client_secret', 'encrypted_string', '');
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'korvane_monitoring_device_id', 'string', '');
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'file_storage_service_address', 'string', 'https://storage.korvane.example');
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'file_storage_service_bucket', 'string', 'pellix-agent');
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'file_storage_service_login', 'encrypted_string', 'orchard');
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'file_storage_service_password', 'encrypted_string', '');
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'logging_level', 'string', 'info');
INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'device_port', 'string', '80');
)SQL";

// The daily, monthly and yearly statistics share one layout.
std::string predictionStatisticTable(const std::string& name) {
    return "CREATE TABLE " + name + R"SQL( (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    date INTEGER NOT NULL,
    product_id TEXT NOT NULL,
    weightings_count INTEGER NOT NULL,
    top_1_count INTEGER NOT NULL,
    top_2_count INTEGER NOT NULL,
    top_3_count INTEGER NOT NULL,
    top_4_count INTEGER NOT NULL,
    top_5_count INTEGER NOT NULL,
    processed_with_prediction_count INTEGER NOT NULL,
    processed_without_prediction_count INTEGER NOT NULL,
    processed_unknown_prediction_count INTEGER NOT NULL
);
)SQL";
}

const char* const kDbAddAlert = R"SQL(
CREATE TABLE alert_queue (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    code INTEGER NOT NULL,
    description TEXT NOT NULL
);
)SQL";

const char* const kDbAddState = R"SQL(
CREATE TABLE internal_state (
    key TEXT PRIMARY KEY,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    type TEXT NOT NULL,
    value TEXT NOT NULL
);
CREATE TABLE products (
    id TEXT NOT NULL PRIMARY KEY,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    template_count INTEGER,
    status TEXT
);
INSERT INTO internal_state (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'source_mode_enabled', 'bool', 'false');
INSERT INTO internal_state (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'source_mode_template_threshold', 'int', '10');
INSERT INTO internal_state (created_at, updated_at, key, type, value) VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'source_mode_polling_interval_sec', 'int', '300');
)SQL";

// Rows keep their ids, so recognition_values.rid still points at them after the rebuild.
const char* const kChangeCodeType = R"SQL(
PRAGMA foreign_keys = OFF;
CREATE TABLE recognition_queue_tmp (
    id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    sid TEXT NOT NULL,
    method_of_selection TEXT NOT NULL,
    position_relevance TEXT NOT NULL,
    product_code TEXT NOT NULL,
    product_category TEXT NOT NULL,
    product_name TEXT NOT NULL,
    product_weight REAL NOT NULL,
    response_time_ms INTEGER NOT NULL,
    image_url TEXT NULL
);
INSERT INTO recognition_queue_tmp SELECT * FROM recognition_queue;
DROP TABLE recognition_queue;
ALTER TABLE recognition_queue_tmp RENAME TO recognition_queue;
PRAGMA foreign_keys = ON;
)SQL";

const char* const kAddPredictionsRate = R"SQL(
ALTER TABLE predictions ADD rate1 REAL;
ALTER TABLE predictions ADD rate2 REAL;
ALTER TABLE predictions ADD rate3 REAL;
ALTER TABLE predictions ADD rate4 REAL;
ALTER TABLE predictions ADD rate5 REAL;
)SQL";

// The monitoring loop takes the oldest entry of each queue on every pass and counts both; after
// a long outage (100,000 entries) a scan for that cost over 10 ms of processor time a pass.
// The rowid (id) ends every index, so the index also serves "ORDER BY created_at, id".
const char* const kAddQueueOrderIndexes = R"SQL(
CREATE INDEX IF NOT EXISTS recognition_queue_created_at ON recognition_queue (created_at);
CREATE INDEX IF NOT EXISTS alert_queue_created_at ON alert_queue (created_at);
)SQL";

// Entries the service refuses for good wait here, row for row as they were queued (ids
// included), until an operator puts them back; their images stay in the images folder.
const char* const kAddDeadLetters = R"SQL(
CREATE TABLE dead_letter_recognitions (
    id INTEGER NOT NULL PRIMARY KEY,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    sid TEXT NOT NULL,
    method_of_selection TEXT NOT NULL,
    position_relevance TEXT NOT NULL,
    product_code TEXT NOT NULL,
    product_category TEXT NOT NULL,
    product_name TEXT NOT NULL,
    product_weight REAL NOT NULL,
    response_time_ms INTEGER NOT NULL,
    image_url TEXT NULL,
    set_aside_at TEXT NOT NULL,
    status INTEGER NOT NULL,
    answer TEXT NOT NULL
);
CREATE TABLE dead_letter_recognition_values (
    id INTEGER NOT NULL PRIMARY KEY,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    product_code TEXT NOT NULL,
    product_category TEXT NOT NULL,
    product_name TEXT NOT NULL,
    product_rate REAL NOT NULL,
    rid INTEGER NOT NULL,
    top INTEGER NOT NULL
);
CREATE TABLE dead_letter_alerts (
    id INTEGER NOT NULL PRIMARY KEY,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    code INTEGER NOT NULL,
    description TEXT NOT NULL,
    set_aside_at TEXT NOT NULL,
    status INTEGER NOT NULL,
    answer TEXT NOT NULL
);
)SQL";

std::string sqlQuoted(const std::string& text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    for (char c : text) {
        quoted += c;
        if (c == '\'') {
            quoted += '\'';
        }
    }
    return quoted;
}

std::string insertDefault(const std::string& key, const std::string& type,
                          const std::string& value) {
    return "INSERT INTO configurations (created_at, updated_at, key, type, value) VALUES "
           "(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, '" +
           sqlQuoted(key) + "', '" + sqlQuoted(type) + "', '" + sqlQuoted(value) + "');\n";
}

std::string configInitials(const std::string& imagesFolder, const std::string& osType) {
    const std::string deviceIp = osType == "Windows" ? "172.22.0.6" : "172.22.0.7";
    return kConfigInitialsFixed +
           insertDefault("product_prediction_data_folder_path", "string", imagesFolder) +
           insertDefault("device_ip", "string", deviceIp) +
           insertDefault("recognition_image_sending_enable", "bool", "true");
}

}  // namespace

std::vector<std::pair<std::string, std::string>> schemaMigrations(const std::string& imagesFolder,
                                                                  const std::string& osType) {
    return {
        {"db_initials", kDbInitials},
        {"config_initials", configInitials(imagesFolder, osType)},
        {"db_add_statistic", predictionStatisticTable("prediction_daily") +
                                 predictionStatisticTable("prediction_monthly") +
                                 predictionStatisticTable("prediction_yearly")},
        {"db_add_alert", kDbAddAlert},
        {"db_add_state", kDbAddState},
        {"change_code_type", kChangeCodeType},
        {"add_predictions_rate", kAddPredictionsRate},
        {"add_queue_order_indexes", kAddQueueOrderIndexes},
        {"add_dead_letters", kAddDeadLetters},
    };
}

}  // namespace korvane::Engine::DB
