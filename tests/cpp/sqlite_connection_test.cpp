#include "lorekeep/sqlite_connection.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>

#include "common/errors.hpp"

namespace fs = std::filesystem;
using namespace varnel;
using json::Value;

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("varnel-sqlite-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    conn_ = std::make_unique<sqlite::Connection>(dir_ / "test.db");
    conn_->execute_script("CREATE TABLE t (k TEXT PRIMARY KEY, v)");
  }
  void TearDown() override {
    conn_.reset();
    fs::remove_all(dir_);
  }
  std::int64_t count() { return conn_->query("SELECT COUNT(*) AS n FROM t")[0].at("n").as_int(); }

  fs::path dir_;
  std::unique_ptr<sqlite::Connection> conn_;
};

TEST_F(ConnectionTest, BindsAndReadsEveryScalarKind) {
  const std::array<Value, 5> values = {Value(42), Value(2.5), Value("t\xc3\xa9xt"), Value(), Value(true)};
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::array<Value, 2> params = {Value(std::to_string(i)), values[i]};
    conn_->execute("INSERT INTO t (k, v) VALUES (?, ?)", params);
  }
  const std::vector<sqlite::Row> rows = conn_->query("SELECT k, v FROM t ORDER BY k");
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0].begin()->key, "k");
  EXPECT_EQ(rows[0].at("v"), Value(42));
  EXPECT_EQ(rows[1].at("v"), Value(2.5));
  EXPECT_EQ(rows[2].at("v"), Value("t\xc3\xa9xt"));
  EXPECT_EQ(rows[3].at("v"), Value());
  EXPECT_EQ(rows[4].at("v"), Value(1));  // booleans are stored as integers
}

TEST_F(ConnectionTest, FailuresCarryTheClassAHostExpects) {
  auto kind_of = [&](auto&& call) {
    try {
      call();
    } catch (const DatabaseError& e) {
      return e.kind;
    }
    ADD_FAILURE() << "no DatabaseError";
    return DatabaseError::Kind::Database;
  };
  const std::array<Value, 2> row = {Value("a"), Value(1)};
  conn_->execute("INSERT INTO t (k, v) VALUES (?, ?)", row);
  EXPECT_EQ(kind_of([&] { conn_->execute("INSERT INTO t (k, v) VALUES (?, ?)", row); }),
            DatabaseError::Kind::Integrity);
  try {
    conn_->execute("INSERT INTO t (k, v) VALUES (?, ?)", row);
  } catch (const DatabaseError& e) {
    EXPECT_STREQ(e.what(), "UNIQUE constraint failed: t.k");
    EXPECT_EQ(e.code, 1555);  // the extended code: a primary key
  }
  EXPECT_EQ(kind_of([&] { conn_->execute("SELEKT 1"); }), DatabaseError::Kind::Operational);
  EXPECT_EQ(kind_of([&] { conn_->execute("INSERT INTO t (k, v) VALUES (?, ?)", std::array<Value, 1>{Value("b")}); }),
            DatabaseError::Kind::Programming);
  const std::array<Value, 2> map_param = {Value("c"), Value(json::Object{})};
  EXPECT_EQ(kind_of([&] { conn_->execute("INSERT INTO t (k, v) VALUES (?, ?)", map_param); }),
            DatabaseError::Kind::Programming);
  const std::array<Value, 2> big = {Value("d"), Value(json::BigInt{"99999999999999999999"})};
  EXPECT_THROW(conn_->execute("INSERT INTO t (k, v) VALUES (?, ?)", big), OverflowError);
  const std::array<Value, 2> surrogate = {Value("e"), Value("\xed\xa0\x80")};
  EXPECT_THROW(conn_->execute("INSERT INTO t (k, v) VALUES (?, ?)", surrogate), InvalidValueError);
  conn_->execute_script("CREATE TABLE b (x); INSERT INTO b VALUES (x'00')");
  EXPECT_THROW(conn_->query("SELECT x FROM b"), TypeMismatchError);
  EXPECT_EQ(count(), 1);
  EXPECT_FALSE(conn_->in_transaction());  // a failed statement holds nothing open
}

TEST_F(ConnectionTest, OpeningSomethingThatIsNotADatabaseFails) {
  try {
    sqlite::Connection bad(dir_);
    FAIL() << "a directory opened as a database";
  } catch (const DatabaseError& e) {
    EXPECT_EQ(e.kind, DatabaseError::Kind::Operational);
  }
}

TEST_F(ConnectionTest, WriteTransactionsRollBackUnlessCommitted) {
  const std::array<Value, 2> first = {Value("a"), Value(1)};
  const std::array<Value, 2> second = {Value("b"), Value(2)};
  try {
    sqlite::WriteTransaction tx(*conn_);
    conn_->execute("INSERT INTO t (k, v) VALUES (?, ?)", first);
    conn_->execute("INSERT INTO t (k, v) VALUES (?, ?)", first);  // fails: same key
    tx.commit();
  } catch (const DatabaseError&) {
  }
  EXPECT_FALSE(conn_->in_transaction());
  EXPECT_EQ(count(), 0);
  {
    sqlite::WriteTransaction tx(*conn_);
    conn_->execute("INSERT INTO t (k, v) VALUES (?, ?)", first);
    conn_->execute("INSERT INTO t (k, v) VALUES (?, ?)", second);
    tx.commit();
  }
  EXPECT_EQ(count(), 2);
}

TEST_F(ConnectionTest, ClosingTwiceIsHarmless) {
  EXPECT_TRUE(conn_->is_open());
  conn_->close();
  conn_->close();
  EXPECT_FALSE(conn_->is_open());
  EXPECT_FALSE(conn_->in_transaction());
}
