#pragma once
// A read-only connection to an Agent's database, for end-to-end tests that check what the
// binary stored. One thread at a time.

#include <string>
#include <vector>

struct sqlite3;

namespace korvane::Testing {

class SqliteReader {
  public:
    // Throws std::runtime_error when the file cannot be opened.
    explicit SqliteReader(const std::string& path);
    ~SqliteReader();
    SqliteReader(const SqliteReader&) = delete;
    SqliteReader& operator=(const SqliteReader&) = delete;

    // Every row of the query, each column as text (NULL as the empty text). Throws
    // std::runtime_error when the query fails.
    std::vector<std::vector<std::string>> rows(const std::string& sql) const;

  private:
    sqlite3* db_ = nullptr;
};

}  // namespace korvane::Testing
