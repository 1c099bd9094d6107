#pragma once
// The prepared statements of one SQLite connection, kept from their first use until the
// connection's owner closes it, so that a query pays for parsing its SQL once per process.
// Meant for the fixed texts of the query functions (values go in as parameters): past a
// bound number of texts, further ones are prepared for each use instead.
// Owned by SQLiteDB and destroyed before its session; borrowed through PreparedStatement by
// whichever thread holds the database mutex. Its own lock guards only its lists.

#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
namespace Poco::Data {
class Session;
}

namespace korvane::Engine::DB {

class StatementCache {
  public:
    // Serves the session's connection from now on. Throws std::runtime_error when the
    // session has no open SQLite connection.
    explicit StatementCache(Poco::Data::Session& session);
    // Finalizes every statement; none may be borrowed any more.
    ~StatementCache();
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    // The cache serving connection; null when none does (a session no SQLiteDB owns).
    static StatementCache* of(sqlite3* connection);

    // A borrowed statement and where it goes back to; no shelf when it is not to be kept.
    struct Lease {
        sqlite3_stmt* statement = nullptr;
        std::vector<sqlite3_stmt*>* shelf = nullptr;
    };
    // A statement for sql that nobody else holds: an idle one, or a newly prepared one.
    // Throws the data-access layer's exception when sql does not prepare.
    Lease acquire(std::string_view sql);
    // Takes back a leased statement, already reset by the borrower.
    void release(const Lease& lease);

  private:
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>{}(text);
        }
    };

    sqlite3* connection_;
    std::mutex mutex_;
    // Usually one idle statement per text; more only while the same text is in use twice.
    std::unordered_map<std::string, std::vector<sqlite3_stmt*>, TextHash, std::equal_to<>> idle_;
};

// Prepares sql on connection for one use; throws the data-access layer's exception.
sqlite3_stmt* prepareStatement(sqlite3* connection, std::string_view sql);

}  // namespace korvane::Engine::DB
