#include "statement_cache.h"

#include <Poco/Data/SQLite/Utility.h>
#include <sqlite3.h>

#include <stdexcept>
#include <utility>

namespace korvane::Engine::DB {

namespace {

// Far more than the query functions have texts; a caller that builds values into its text
// would otherwise grow the cache without end.
constexpr std::size_t kMaxTexts = 256;

// Connections with a cache. A connection's address cannot be reused while it is listed: its
// owner removes it before the connection closes.
std::mutex registryMutex;
std::unordered_map<sqlite3*, StatementCache*>& registry() {
    static std::unordered_map<sqlite3*, StatementCache*> caches;
    return caches;
}

}  // namespace

sqlite3_stmt* prepareStatement(sqlite3* connection, std::string_view sql) {
    sqlite3_stmt* statement = nullptr;
    const int rc = sqlite3_prepare_v2(connection, sql.data(), static_cast<int>(sql.size()),
                                      &statement, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(statement);
        Poco::Data::SQLite::Utility::throwException(connection, rc,
                                                    "in \"" + std::string(sql) + "\"");
    }
    if (statement == nullptr) {
        // Only whitespace or a comment: nothing a query function would ever run.
        throw std::invalid_argument("no SQL statement in \"" + std::string(sql) + "\"");
    }
    return statement;
}

StatementCache::StatementCache(Poco::Data::Session& session)
    : connection_(Poco::Data::SQLite::Utility::dbHandle(session)) {
    if (connection_ == nullptr) {
        throw std::runtime_error("SQLite session is not open");
    }
    std::lock_guard lock(registryMutex);
    registry()[connection_] = this;
}

StatementCache::~StatementCache() {
    {
        std::lock_guard lock(registryMutex);
        registry().erase(connection_);
    }
    for (auto& [sql, statements] : idle_) {
        for (sqlite3_stmt* statement : statements) sqlite3_finalize(statement);
    }
}

StatementCache* StatementCache::of(sqlite3* connection) {
    std::lock_guard lock(registryMutex);
    const auto found = registry().find(connection);
    return found == registry().end() ? nullptr : found->second;
}

StatementCache::Lease StatementCache::acquire(std::string_view sql) {
    std::vector<sqlite3_stmt*>* shelf = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto found = idle_.find(sql);
        if (found != idle_.end() && !found->second.empty()) {
            sqlite3_stmt* statement = found->second.back();
            found->second.pop_back();
            return {statement, &found->second};
        }
        if (found == idle_.end() && idle_.size() < kMaxTexts) {
            found = idle_.emplace(std::string(sql), std::vector<sqlite3_stmt*>()).first;
        }
        // Entries stay where they are while the map grows, and none is ever removed.
        if (found != idle_.end()) shelf = &found->second;
    }
    return {prepareStatement(connection_, sql), shelf};
}

void StatementCache::release(const Lease& lease) {
    if (lease.shelf == nullptr) {
        sqlite3_finalize(lease.statement);
        return;
    }
    std::lock_guard lock(mutex_);
    lease.shelf->push_back(lease.statement);
}

}  // namespace korvane::Engine::DB
