#include "sqlite_db.h"

#include <Poco/Data/SQLite/Connector.h>
#include <Poco/Data/SQLite/Utility.h>
#include <sqlite3.h>

#include <mutex>
#include <stdexcept>

#include "logger.h"

namespace korvane::Engine::DB {

namespace {

constexpr std::size_t kConnectionTimeoutSeconds = 60;

// The data-access layer keeps a process-wide connector registry; registering twice is harmless
// in Poco but racy, so the first database opened does it for everyone.
const std::string& registeredConnectorKey() {
    static std::once_flag once;
    std::call_once(once, [] { Poco::Data::SQLite::Connector::registerConnector(); });
    return Poco::Data::SQLite::Connector::KEY;
}

}  // namespace

SQLiteDB::SQLiteDB(const std::string& path)
    : session_(registeredConnectorKey(), path, kConnectionTimeoutSeconds), statements_(session_) {
    // Write-ahead logging with a full sync at every commit: a committed feedback survives a
    // power cut, and each commit costs one fsync of the log instead of creating, syncing and
    // deleting a rollback journal (about twice the feedback throughput, measured).
    std::string mode;
    session_ << "PRAGMA journal_mode=WAL", Poco::Data::Keywords::into(mode),
        Poco::Data::Keywords::now;
    if (mode != "wal") {
        // Some file systems cannot share the WAL index; the rollback journal is just as safe.
        Log()->warn("Database stays in journal mode {}: write-ahead logging unavailable;", mode);
    }
    session_ << "PRAGMA synchronous=FULL", Poco::Data::Keywords::now;
}

void SQLiteDB::Execute(const std::string& sql) {
    executeBatch(session_, sql);
}

Poco::Data::Session& SQLiteDB::GetSession() {
    return session_;
}

void executeBatch(Poco::Data::Session& session, const std::string& sql) {
    // Migrations hold several statements; sqlite3_exec runs them all in order and stops at the
    // first failure, whatever the connector does with the rest of a statement text.
    sqlite3* handle = Poco::Data::SQLite::Utility::dbHandle(session);
    if (handle == nullptr) {
        throw std::runtime_error("SQLite session is not open");
    }
    char* error = nullptr;
    const int rc = sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, &error);
    if (rc == SQLITE_OK) {
        return;
    }
    const std::string message = error != nullptr ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    // Maps the result code to the connector's exception type, whose text starts with the
    // connection's last error message; add ours only when it says something else.
    const char* last = sqlite3_errmsg(handle);
    const bool sameText = last != nullptr && message == last;
    Poco::Data::SQLite::Utility::throwException(handle, rc, sameText ? std::string() : message);
    throw std::runtime_error(message);  // throwException always throws; keeps the compiler sure.
}

}  // namespace korvane::Engine::DB
