#include "prepared_statement.h"

#include <Poco/Data/SQLite/Utility.h>
#include <sqlite3.h>

#include <stdexcept>

namespace korvane::Engine::DB {

PreparedStatement::PreparedStatement(Poco::Data::Session& session, std::string_view sql)
    : connection_(Poco::Data::SQLite::Utility::dbHandle(session)),
      cache_(StatementCache::of(connection_)) {
    if (connection_ == nullptr) {
        throw std::runtime_error("SQLite session is not open");
    }
    if (cache_ != nullptr) {
        lease_ = cache_->acquire(sql);
    } else {
        lease_.statement = prepareStatement(connection_, sql);
    }
    statement_ = lease_.statement;
}

PreparedStatement::~PreparedStatement() {
    // A statement left mid-way would hold its read open and keep the log from being
    // checkpointed; the reset also ends that.
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
    if (cache_ != nullptr) {
        cache_->release(lease_);
    } else {
        sqlite3_finalize(statement_);
    }
}

void PreparedStatement::bind(int index, std::string_view value) {
    check(sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT));
}

void PreparedStatement::bind(int index, int value) {
    check(sqlite3_bind_int(statement_, index, value));
}

void PreparedStatement::bind(int index, std::int64_t value) {
    check(sqlite3_bind_int64(statement_, index, value));
}

void PreparedStatement::bind(int index, double value) {
    check(sqlite3_bind_double(statement_, index, value));
}

bool PreparedStatement::step() {
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    check(rc);
    return false;
}

void PreparedStatement::run() {
    while (step()) {
    }
}

int PreparedStatement::intColumn(int column) const {
    return sqlite3_column_int(statement_, column);
}

double PreparedStatement::doubleColumn(int column) const {
    return sqlite3_column_double(statement_, column);
}

std::string PreparedStatement::textColumn(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    if (text == nullptr) return {};
    return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

void PreparedStatement::check(int rc) const {
    if (rc == SQLITE_OK) return;
    // The connection's message names the failure ("UNIQUE constraint failed: ..."); the text
    // says which statement it was.
    Poco::Data::SQLite::Utility::throwException(
        connection_, rc & 0xff, std::string("in \"") + sqlite3_sql(statement_) + "\"");
}

}  // namespace korvane::Engine::DB
