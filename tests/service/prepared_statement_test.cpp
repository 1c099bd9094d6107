#include "prepared_statement.h"

#include <Poco/Data/SQLite/Connector.h>
#include <Poco/Data/SQLite/SQLiteException.h>
#include <Poco/Data/SQLite/Utility.h>
#include <Poco/Data/Session.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "sqlite_db.h"
#include "sqlite_transaction.h"
#include "temp_dir.h"

namespace {

using korvane::Engine::DB::PreparedStatement;
using korvane::Engine::DB::SQLiteDB;
using korvane::Engine::DB::SQLiteTransaction;

class PreparedStatementTest : public ::testing::Test {
  protected:
    PreparedStatementTest() : db_(std::make_unique<SQLiteDB>(dir_.file("service.db"))) {
        db_->Execute("CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT UNIQUE, rate REAL)");
    }

    Poco::Data::Session& session() { return db_->GetSession(); }
    sqlite3* connection() { return Poco::Data::SQLite::Utility::dbHandle(session()); }

    // Statements the connection holds, and how many of them are mid-way through their rows.
    std::pair<int, int> statements() {
        int all = 0;
        int busy = 0;
        for (sqlite3_stmt* s = sqlite3_next_stmt(connection(), nullptr); s != nullptr;
             s = sqlite3_next_stmt(connection(), s)) {
            ++all;
            if (sqlite3_stmt_busy(s)) ++busy;
        }
        return {all, busy};
    }

    void insert(const std::string& name, double rate) {
        PreparedStatement(session(), "INSERT INTO items (name, rate) VALUES (?, ?)")
            .bindAll(name, rate)
            .run();
    }

    std::vector<std::string> names() {
        PreparedStatement select(session(), "SELECT name FROM items ORDER BY id");
        std::vector<std::string> result;
        while (select.step()) result.push_back(select.textColumn(0));
        return result;
    }

    korvane::Testing::TempDir dir_;
    std::unique_ptr<SQLiteDB> db_;
};

TEST_F(PreparedStatementTest, EachTextIsPreparedOnceAndLeftReset) {
    for (int i = 0; i < 50; ++i) insert("item" + std::to_string(i), i / 10.0);
    // Reading stops after the first of 50 rows: the statement must not stay mid-way.
    {
        PreparedStatement select(session(), "SELECT name, rate, id FROM items ORDER BY id");
        ASSERT_TRUE(select.step());
        EXPECT_EQ(select.textColumn(0), "item0");
    }
    EXPECT_EQ(names().size(), 50u);
    EXPECT_EQ(statements(), std::make_pair(3, 0));

    // The same text in use twice at once gets a second statement, each with its own rows.
    PreparedStatement outer(session(), "SELECT name FROM items ORDER BY id");
    ASSERT_TRUE(outer.step());
    ASSERT_TRUE(outer.step());
    EXPECT_EQ(names().front(), "item0");
    EXPECT_EQ(outer.textColumn(0), "item1");
}

TEST_F(PreparedStatementTest, ColumnsConvertAndNullReadsAsEmpty) {
    db_->Execute("INSERT INTO items (name, rate) VALUES (NULL, NULL), ('00123', 2)");
    PreparedStatement select(session(), "SELECT name, rate, rate FROM items ORDER BY id");
    ASSERT_TRUE(select.step());
    EXPECT_EQ(select.textColumn(0), "");
    EXPECT_EQ(select.intColumn(1), 0);
    EXPECT_EQ(select.doubleColumn(2), 0.0);
    ASSERT_TRUE(select.step());
    EXPECT_EQ(select.textColumn(0), "00123");
    EXPECT_EQ(select.doubleColumn(1), 2.0);
    EXPECT_EQ(select.textColumn(2), "2.0");
    EXPECT_FALSE(select.step());
}

TEST_F(PreparedStatementTest, ErrorsThrowTheDataLayersExceptionsAndLeaveTheStatementUsable) {
    insert("apple", 0.5);
    EXPECT_THROW(insert("apple", 0.7), Poco::Data::SQLite::ConstraintViolationException);
    insert("pear", 0.7);  // the statement that failed is reused, bound afresh
    EXPECT_EQ(names(), (std::vector<std::string>{"apple", "pear"}));

    EXPECT_THROW(PreparedStatement(session(), "SELECT nothing FROM nowhere"),
                 Poco::Data::SQLite::InvalidSQLStatementException);
    PreparedStatement select(session(), "SELECT ?");
    EXPECT_THROW(select.bind(2, 1), Poco::Exception);  // no such parameter
}

TEST_F(PreparedStatementTest, CacheStopsGrowingAtItsBound) {
    for (int i = 0; i < 400; ++i) {
        PreparedStatement(session(), "SELECT " + std::to_string(i)).run();
    }
    const auto [all, busy] = statements();
    EXPECT_LE(all, 300);
    EXPECT_EQ(busy, 0);
}

TEST_F(PreparedStatementTest, SessionWithoutOwnerPreparesForEachUseAndKeepsNothing) {
    Poco::Data::Session plain(Poco::Data::SQLite::Connector::KEY, dir_.file("service.db"));
    PreparedStatement(plain, "INSERT INTO items (name) VALUES (?)").bindAll("plain").run();
    {
        PreparedStatement select(plain, "SELECT name FROM items");
        ASSERT_TRUE(select.step());
        EXPECT_EQ(select.textColumn(0), "plain");
    }
    EXPECT_EQ(sqlite3_next_stmt(Poco::Data::SQLite::Utility::dbHandle(plain), nullptr), nullptr);
}

TEST_F(PreparedStatementTest, TransactionCommitsOrRollsBackWhole) {
    {
        SQLiteTransaction transaction(session());
        insert("kept", 1);
        transaction.commit();
    }
    try {
        SQLiteTransaction transaction(session());
        insert("dropped", 1);
        insert("kept", 1);  // fails: the whole transaction goes
        transaction.commit();
        FAIL() << "duplicate accepted";
    } catch (const Poco::Data::SQLite::ConstraintViolationException&) {
    }
    {
        SQLiteTransaction transaction(session());
        insert("abandoned", 1);
    }
    EXPECT_EQ(names(), std::vector<std::string>{"kept"});
    EXPECT_EQ(sqlite3_get_autocommit(connection()), 1);

    // Committed work is on disk for another connection to see.
    Poco::Data::Session other(Poco::Data::SQLite::Connector::KEY, dir_.file("service.db"));
    PreparedStatement count(other, "SELECT COUNT(*) FROM items");
    ASSERT_TRUE(count.step());
    EXPECT_EQ(count.intColumn(0), 1);
}

}  // namespace
