// A small RAII layer over SQLite's C API: one open connection, its prepared
// statements (prepared on first use and reused for the connection's life),
// and write transactions that roll back unless committed. Failures become
// DatabaseError carrying the class a host's sqlite3 module raises for them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/json_value.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace varnel::sqlite {

// One result row: column name to value, in column order.
using Row = json::Object;

class Connection {
 public:
  // Opens the database file, creating it when absent.
  explicit Connection(const std::filesystem::path& path);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Finalises every statement and closes; a second call does nothing.
  void close() noexcept;
  // Whether the connection is still open.
  bool is_open() const { return db_ != nullptr; }

  // How long a statement waits for a lock held by another connection.
  void set_busy_timeout(int milliseconds);
  // Runs a script of statements without parameters, discarding any rows.
  void execute_script(std::string_view script);
  // Runs one idempotent statement as execute_script does, but also rides out
  // a busy failure that SQLite reports without calling the busy handler: it
  // retries until the busy timeout, counted from the first attempt, is spent.
  void execute_retrying_busy(std::string_view statement);
  // Runs one statement with `params` bound in order and returns its rows.
  std::vector<Row> query(std::string_view sql, std::span<const json::Value> params = {});
  // Runs one statement with `params` bound in order, discarding any rows.
  void execute(std::string_view sql, std::span<const json::Value> params = {});
  // Whether a transaction is open on this connection.
  bool in_transaction() const;

 private:
  struct Finalize {
    void operator()(sqlite3_stmt* stmt) const noexcept;
  };
  struct SqlHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view sql) const noexcept { return std::hash<std::string_view>{}(sql); }
  };

  // The statement for `sql`, prepared on first use.
  sqlite3_stmt* prepared(std::string_view sql);
  // Throws the DatabaseError for result code `rc` with the connection's message.
  [[noreturn]] void fail(int rc) const;

  sqlite3* db_ = nullptr;
  int busy_timeout_ms_ = 0;
  std::unordered_map<std::string, std::unique_ptr<sqlite3_stmt, Finalize>, SqlHash, std::equal_to<>> statements_;
};

// A write transaction begun with BEGIN IMMEDIATE, so that a writer takes the
// lock up front (waiting on the busy timeout) instead of failing when it
// upgrades from reading. Rolled back on destruction unless committed.
class WriteTransaction {
 public:
  // Begins the transaction.
  explicit WriteTransaction(Connection& conn);
  ~WriteTransaction();
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;

  // Commits; afterwards the destructor does nothing.
  void commit();

 private:
  Connection& conn_;
  bool committed_ = false;
};

}  // namespace varnel::sqlite
