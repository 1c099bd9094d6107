#include "sqlite_transaction.h"

#include <Poco/Data/SQLite/Utility.h>
#include <sqlite3.h>

#include <exception>

#include "logger.h"

namespace korvane::Engine::DB {

SQLiteTransaction::SQLiteTransaction(Poco::Data::Session& session) : session_(session) {
    // IMMEDIATE: a transaction that reads before it writes cannot find its snapshot outdated
    // by another writer (a tool on the same file) when it comes to write.
    PreparedStatement(session_, "BEGIN IMMEDIATE").run();
    open_ = true;
}

SQLiteTransaction::~SQLiteTransaction() {
    if (!open_) return;
    try {
        // Some failures (a full disk, an I/O error) end the transaction by themselves.
        if (sqlite3_get_autocommit(Poco::Data::SQLite::Utility::dbHandle(session_)) == 0) {
            PreparedStatement(session_, "ROLLBACK").run();
        }
    } catch (const std::exception& e) {
        Log()->error("Transaction rollback failed: {};", e.what());
    }
}

void SQLiteTransaction::commit() {
    PreparedStatement(session_, "COMMIT").run();
    open_ = false;
}

}  // namespace korvane::Engine::DB
