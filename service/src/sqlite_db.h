#pragma once
// Owner of the Agent's one SQLite session and of the prepared statements kept for it. The
// session is shared by every thread of the process; callers hold the Server's database mutex
// around every use (SQLiteDB itself does no locking). Owned by the Server; closes when the
// Server is destroyed.

#include <Poco/Data/Session.h>

#include <string>

#include "statement_cache.h"

namespace korvane::Engine::DB {

class SQLiteDB {
  public:
    // Opens (creating when missing) the database file. Throws Poco::Data exceptions.
    explicit SQLiteDB(const std::string& path);

    // Runs sql at once. The text may hold several statements separated by semicolons;
    // all of them run. Errors propagate as exceptions.
    void Execute(const std::string& sql);
    Poco::Data::Session& GetSession();

  private:
    Poco::Data::Session session_;
    // Declared after the session: its statements are finalized before the session closes.
    StatementCache statements_;
};

// Execute() for any SQLite session (the Migrator holds only the session).
void executeBatch(Poco::Data::Session& session, const std::string& sql);

}  // namespace korvane::Engine::DB
