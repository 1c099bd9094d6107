#pragma once
// A write transaction on a session's connection: begun (taking the write lock at once) on
// construction, made durable by commit(), rolled back on destruction otherwise. Its BEGIN,
// COMMIT and ROLLBACK come prepared from the connection's StatementCache. Used on the thread
// that holds the database mutex, for work that writes; not nestable.

#include "prepared_statement.h"

namespace korvane::Engine::DB {

class SQLiteTransaction {
  public:
    // Throws the data-access layer's exception when the transaction cannot begin.
    explicit SQLiteTransaction(Poco::Data::Session& session);
    // Rolls back unless committed. Never throws.
    ~SQLiteTransaction();
    SQLiteTransaction(const SQLiteTransaction&) = delete;
    SQLiteTransaction& operator=(const SQLiteTransaction&) = delete;

    // Throws when the commit fails; the destructor then rolls back what is left.
    void commit();

  private:
    Poco::Data::Session& session_;
    bool open_ = false;
};

}  // namespace korvane::Engine::DB
