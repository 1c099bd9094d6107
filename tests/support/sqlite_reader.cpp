#include "sqlite_reader.h"

#include <sqlite3.h>

#include <stdexcept>

namespace korvane::Testing {

SqliteReader::SqliteReader(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot open " + path + ": " + message);
    }
}

SqliteReader::~SqliteReader() {
    sqlite3_close(db_);
}

std::vector<std::vector<std::string>> SqliteReader::rows(const std::string& sql) const {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        throw std::runtime_error(std::string("cannot prepare: ") + sqlite3_errmsg(db_));
    }
    std::vector<std::vector<std::string>> all;
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int c = 0; c < sqlite3_column_count(statement); ++c) {
            const auto* text = sqlite3_column_text(statement, c);
            row.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
        }
        all.push_back(std::move(row));
    }
    const std::string error = sqlite3_errmsg(db_);
    sqlite3_finalize(statement);
    if (step != SQLITE_DONE) throw std::runtime_error("query failed: " + error);
    return all;
}

}  // namespace korvane::Testing
