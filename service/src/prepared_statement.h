#pragma once
// One use of an SQL statement on a session's connection: bind the parameters, step through
// the rows, read their columns. The statement comes from the connection's StatementCache
// when an SQLiteDB owns the session (prepared once per process), else it is prepared for this
// use alone. Used by the query functions on the thread that holds the database mutex; errors
// throw the data-access layer's exceptions, as its own statements do.

#include <cstdint>
#include <string>
#include <string_view>

#include "statement_cache.h"

namespace korvane::Engine::DB {

class PreparedStatement {
  public:
    PreparedStatement(Poco::Data::Session& session, std::string_view sql);
    // Resets the statement (ending any read it holds open) and hands it back.
    ~PreparedStatement();
    PreparedStatement(const PreparedStatement&) = delete;
    PreparedStatement& operator=(const PreparedStatement&) = delete;

    // Binds values to the parameters 1, 2, ... in order. Texts are copied.
    template <typename... Values>
    PreparedStatement& bindAll(const Values&... values) {
        int index = 0;
        (bind(++index, values), ...);
        return *this;
    }
    void bind(int index, std::string_view value);
    void bind(int index, int value);
    void bind(int index, std::int64_t value);
    void bind(int index, double value);

    // Moves to the next row: true when there is one to read, false once all are read.
    bool step();
    // Steps to the end, for statements whose rows (if any) are not wanted.
    void run();

    // Columns of the current row, counted from 0; NULL reads as 0 or the empty text.
    int intColumn(int column) const;
    double doubleColumn(int column) const;
    std::string textColumn(int column) const;

  private:
    void check(int rc) const;

    sqlite3* connection_;
    StatementCache* cache_;
    StatementCache::Lease lease_;
    sqlite3_stmt* statement_;
};

}  // namespace korvane::Engine::DB
