// The RAII layer over SQLite's C API.
#include "lorekeep/sqlite_connection.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <new>
#include <thread>

#include "common/errors.hpp"
#include "common/utf8.hpp"

namespace varnel::sqlite {

namespace {

using Kind = DatabaseError::Kind;

// The class a host's sqlite3 module raises for a primary result code.
Kind kind_of(int primary) {
  switch (primary) {
    case SQLITE_INTERNAL:
    case SQLITE_NOTFOUND: return Kind::Internal;
    case SQLITE_ERROR:
    case SQLITE_PERM:
    case SQLITE_ABORT:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_READONLY:
    case SQLITE_INTERRUPT:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
    case SQLITE_EMPTY:
    case SQLITE_SCHEMA: return Kind::Operational;
    case SQLITE_TOOBIG: return Kind::Data;
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH: return Kind::Integrity;
    case SQLITE_MISUSE:
    case SQLITE_RANGE: return Kind::Interface;
    default: return Kind::Database;
  }
}

[[noreturn]] void raise(int rc, int extended, const char* message) {
  if ((rc & 0xFF) == SQLITE_NOMEM) throw std::bad_alloc();
  throw DatabaseError(kind_of(rc & 0xFF), message != nullptr ? message : sqlite3_errstr(rc), extended);
}

void bind_value(sqlite3_stmt* stmt, int index, const json::Value& value) {
  using VK = json::Value::Kind;
  int rc = SQLITE_OK;
  switch (value.kind()) {
    case VK::Null: rc = sqlite3_bind_null(stmt, index); break;
    case VK::Bool: rc = sqlite3_bind_int64(stmt, index, value.as_bool() ? 1 : 0); break;
    case VK::Int: rc = sqlite3_bind_int64(stmt, index, value.as_int()); break;
    case VK::BigInt: throw OverflowError("int too large to convert to SQLite INTEGER");
    case VK::Real: rc = sqlite3_bind_double(stmt, index, value.as_real()); break;
    case VK::String: {
      const std::string& text = value.as_string();
      // Text from a host may hold lone surrogates; SQLite text must be UTF-8.
      if (utf8::find_fault(text, false)) throw InvalidValueError("text holds a lone surrogate: surrogates not allowed");
      // The parameters outlive the statement's run, so SQLite need not copy.
      rc = sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
      break;
    }
    case VK::Array:
    case VK::Object:
      throw DatabaseError(Kind::Programming, "Error binding parameter " + std::to_string(index) + ": type '" +
                                                 json::kind_name(value.kind()) + "' is not supported");
  }
  if (rc != SQLITE_OK) raise(rc, rc, sqlite3_errmsg(sqlite3_db_handle(stmt)));
}

json::Value column_value(sqlite3_stmt* stmt, int i) {
  switch (sqlite3_column_type(stmt, i)) {
    case SQLITE_INTEGER: return json::Value(static_cast<std::int64_t>(sqlite3_column_int64(stmt, i)));
    case SQLITE_FLOAT: return json::Value(sqlite3_column_double(stmt, i));
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
      return json::Value(std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, i))));
    }
    case SQLITE_NULL: return json::Value();
    default:
      throw TypeMismatchError(std::string("column '") + sqlite3_column_name(stmt, i) +
                              "' holds a BLOB, which has no JSON form");
  }
}

// Resets a statement after each run, even a failed one: a statement left
// mid-run would hold its read transaction open.
struct ResetOnExit {
  sqlite3_stmt* stmt;
  ~ResetOnExit() {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
  }
};

}  // namespace

void Connection::Finalize::operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }

Connection::Connection(const std::filesystem::path& path) {
  const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    const int extended = db_ != nullptr ? sqlite3_extended_errcode(db_) : rc;
    sqlite3_close_v2(db_);
    db_ = nullptr;
    raise(rc, extended, message.c_str());
  }
}

Connection::~Connection() { close(); }

void Connection::close() noexcept {
  statements_.clear();
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

void Connection::fail(int rc) const { raise(rc, sqlite3_extended_errcode(db_), sqlite3_errmsg(db_)); }

void Connection::set_busy_timeout(int milliseconds) {
  if (const int rc = sqlite3_busy_timeout(db_, milliseconds); rc != SQLITE_OK) fail(rc);
  busy_timeout_ms_ = milliseconds;
}

void Connection::execute_script(std::string_view script) {
  const std::string text(script);  // sqlite3_exec wants a terminated string
  if (const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr); rc != SQLITE_OK) fail(rc);
}

void Connection::execute_retrying_busy(std::string_view statement) {
  // SQLite calls the busy handler only while no transaction is open. A
  // statement that opens a read transaction and then needs the write lock --
  // PRAGMA journal_mode=WAL on a file not yet in WAL mode does, when two
  // processes meet a new file -- fails at once when another connection is
  // writing. Its transaction is over by then, so running it again is safe.
  using Clock = std::chrono::steady_clock;
  constexpr std::array<int, 12> kDelaysMs = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};  // SQLite's own
  const std::string text(statement);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(busy_timeout_ms_);
  int rc = SQLITE_OK;
  for (std::size_t attempt = 0;; ++attempt) {
    rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
    if ((rc & 0xFF) != SQLITE_BUSY) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    const auto pause = std::min<long long>(kDelaysMs[std::min(attempt, kDelaysMs.size() - 1)], left);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    // A wait on the busy handler inside the next attempt spends the same budget.
    sqlite3_busy_timeout(db_, static_cast<int>(std::max<long long>(left - pause, 1)));
  }
  sqlite3_busy_timeout(db_, busy_timeout_ms_);
  if (rc != SQLITE_OK) fail(rc);
}

sqlite3_stmt* Connection::prepared(std::string_view sql) {
  if (auto it = statements_.find(sql); it != statements_.end()) return it->second.get();
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                                    nullptr);
  if (rc != SQLITE_OK) fail(rc);
  statements_.emplace(std::string(sql), std::unique_ptr<sqlite3_stmt, Finalize>(stmt));
  return stmt;
}

std::vector<Row> Connection::query(std::string_view sql, std::span<const json::Value> params) {
  sqlite3_stmt* stmt = prepared(sql);
  ResetOnExit reset{stmt};
  if (const int wanted = sqlite3_bind_parameter_count(stmt); static_cast<std::size_t>(wanted) != params.size()) {
    throw DatabaseError(Kind::Programming, "Incorrect number of bindings supplied. The current statement uses " +
                                               std::to_string(wanted) + ", and there are " +
                                               std::to_string(params.size()) + " supplied.");
  }
  for (std::size_t i = 0; i < params.size(); ++i) bind_value(stmt, static_cast<int>(i + 1), params[i]);
  std::vector<Row> rows;
  const int columns = sqlite3_column_count(stmt);
  for (;;) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) fail(rc);
    Row row;
    row.reserve(static_cast<std::size_t>(columns));
    for (int i = 0; i < columns; ++i) row.append(sqlite3_column_name(stmt, i), column_value(stmt, i));
    rows.push_back(std::move(row));
  }
  return rows;
}

void Connection::execute(std::string_view sql, std::span<const json::Value> params) { query(sql, params); }

bool Connection::in_transaction() const { return db_ != nullptr && sqlite3_get_autocommit(db_) == 0; }

WriteTransaction::WriteTransaction(Connection& conn) : conn_(conn) { conn_.execute("BEGIN IMMEDIATE"); }

WriteTransaction::~WriteTransaction() {
  // Some failures (a full disk, an I/O error) end the transaction themselves.
  if (committed_ || !conn_.in_transaction()) return;
  try {
    conn_.execute("ROLLBACK");
  } catch (const std::exception&) {
    // Nothing more can be done here; the connection rolls back when closed.
  }
}

void WriteTransaction::commit() {
  conn_.execute("COMMIT");
  committed_ = true;
}

}  // namespace varnel::sqlite
