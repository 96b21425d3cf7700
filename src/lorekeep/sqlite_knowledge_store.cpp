// The SQLite backend of the knowledge base.
#include "lorekeep/sqlite_knowledge_store.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <sstream>

#include "common/clock.hpp"
#include "common/content_id.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/json_reader.hpp"
#include "common/json_writer.hpp"
#include "lorekeep/schema.hpp"

namespace varnel::lorekeep {

namespace {

using json::Value;

constexpr std::string_view kFindPattern = "SELECT pattern_id, expired FROM patterns WHERE pattern_id = ?";
constexpr std::string_view kUnexpirePattern =
    "UPDATE patterns SET expired = 0, last_seen = ?, updated_at = ? WHERE pattern_id = ?";
constexpr std::string_view kInsertPattern =
    "INSERT INTO patterns (pattern_id, fingerprint, scope, discovery_method, pattern_type, sources, metrics, "
    "description_statistical, description_semantic, correlation_strength, occurrence_count, repo_count, "
    "first_seen, last_seen, confidence_tier, confidence_status, created_at, updated_at) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr std::string_view kLinkSignal =
    "INSERT OR IGNORE INTO pattern_signals (pattern_id, signal_ref, observed_at) VALUES (?, ?, ?)";
constexpr std::string_view kIncrementPattern =
    "UPDATE patterns SET occurrence_count = occurrence_count + 1, last_seen = ?, updated_at = ? "
    "WHERE pattern_id = ?";
constexpr std::string_view kExpirePattern = "UPDATE patterns SET expired = 1, updated_at = ? WHERE pattern_id = ?";
constexpr std::string_view kInsertKnowledge =
    "INSERT INTO knowledge (knowledge_id, derived_from, fingerprint, scope, pattern_type, sources, metrics, "
    "description_statistical, description_semantic, support_count, first_seen, last_seen, approval_method, "
    "approval_timestamp, created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr std::string_view kInsertHistory =
    "INSERT INTO pattern_history (pattern_id, action, details, timestamp) VALUES (?, ?, ?, ?)";
constexpr std::string_view kCountedEvents = "SELECT event_ref FROM counted_events";
constexpr std::string_view kCountEvent = "INSERT OR IGNORE INTO counted_events (event_ref) VALUES (?)";
constexpr std::string_view kUncountMark = "DELETE FROM counted_events WHERE event_ref = ?";
constexpr std::string_view kHasPatterns = "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'patterns'";
constexpr std::string_view kHasCountedEvents =
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'counted_events'";
constexpr std::string_view kHasRepoCount = "SELECT 1 FROM pragma_table_info('patterns') WHERE name = 'repo_count'";
constexpr std::string_view kAddRepoCount = "ALTER TABLE patterns ADD COLUMN repo_count INTEGER DEFAULT 0";

// repo_count is updatable so that a fleet can keep a community pattern's count
// current: create_pattern returns an existing id without writing.
constexpr std::array<std::string_view, 6> kUpdatableFields = {
    "description_statistical", "description_semantic", "correlation_strength", "confidence_tier",
    "confidence_status", "repo_count"};

// The value of `key`, or `fallback` when the record lacks it (a present
// null stays null).
Value value_or(const json::Object& record, std::string_view key, Value fallback) {
  const Value* v = record.find(key);
  return v != nullptr ? *v : fallback;
}

// The stored one-line JSON text of a value.
Value stored_json(const Value& v) { return Value(json::dumps(v, json::kStored)); }

// Non-empty text (a null or empty filter means no filter).
bool given(const std::optional<std::string_view>& text) { return text.has_value() && !text->empty(); }

// SQLite's notion of a true flag, as the stored `expired` column holds it.
bool truthy(const Value& v) {
  if (v.is_int()) return v.as_int() != 0;
  if (v.is_real()) return v.as_real() != 0.0;
  return !v.is_null();
}

// The record's own id under `key` when it gives one (not null, not empty),
// else the content hash of `identity()`. A given id must be text.
template <class Identity>
std::string record_id(const json::Object& record, std::string_view key, Identity identity) {
  const Value* id = record.find(key);
  if (id == nullptr || id->is_null() || (id->is_string() && id->as_string().empty())) {
    return SQLiteKnowledgeStore::content_hash(identity());
  }
  if (!id->is_string()) {
    throw TypeMismatchError(std::string(key) + " must be str, not " + json::kind_name(id->kind()));
  }
  return id->as_string();
}

std::string thread_name(std::thread::id id) {
  std::ostringstream out;
  out << id;
  return out.str();
}

// Now minus `days` whole days, in the timestamp form. Refused, as a host's
// date arithmetic refuses it, when the result leaves the years 1 to 9999.
std::string decay_cutoff(std::int64_t days) {
  using namespace std::chrono;
  constexpr std::int64_t kDaysInRange = 3'660'000;  // more than ten thousand years
  if (days > kDaysInRange || days < -kDaysInRange) throw OverflowError("date value out of range");
  const auto cutoff = time_point_cast<microseconds>(system_clock::now()) - std::chrono::days(days);
  const year y = year_month_day(floor<std::chrono::days>(cutoff)).year();
  if (y < year(1) || y > year(9999)) throw OverflowError("date value out of range");
  return format_utc(cutoff);
}

// The database path with its directory created.
const std::filesystem::path& with_directory(const std::filesystem::path& path) {
  if (path.has_parent_path()) files::make_dirs(path.parent_path());
  return path;
}

}  // namespace

SQLiteKnowledgeStore::SQLiteKnowledgeStore(std::filesystem::path db_path)
    : db_path_(std::move(db_path)), owner_(std::this_thread::get_id()), conn_(with_directory(db_path_)) {
  conn_.set_busy_timeout(5000);
  conn_.execute_retrying_busy("PRAGMA journal_mode=WAL");
  conn_.execute_script("PRAGMA foreign_keys=ON");
  create_tables();
}

void SQLiteKnowledgeStore::create_tables() {
  // A file from before the list of counted events gains it with the mark
  // that earlier runs' events went unlisted, in one transaction, so that its
  // first run counts nothing it may have counted before.
  if (!conn_.query(kHasPatterns).empty() && conn_.query(kHasCountedEvents).empty()) {
    sqlite::WriteTransaction tx(conn_);
    if (conn_.query(kHasCountedEvents).empty()) {  // another process may have done it while this one waited
      conn_.execute_script(kSchemaSql);
      const std::array<Value, 1> mark = {Value(kEarlierRuns)};
      conn_.execute(kCountEvent, mark);
    }
    tx.commit();
  }
  // Every statement is IF NOT EXISTS: on a prepared file the script writes
  // nothing, so a file that may only be read still opens.
  conn_.execute_script(kSchemaSql);
  if (!conn_.query(kHasRepoCount).empty()) return;
  sqlite::WriteTransaction tx(conn_);
  // Another process may have added the column while this one waited.
  if (conn_.query(kHasRepoCount).empty()) conn_.execute(kAddRepoCount);
  tx.commit();
}

void SQLiteKnowledgeStore::check_usable() const {
  if (const std::thread::id here = std::this_thread::get_id(); here != owner_) {
    throw DatabaseError(DatabaseError::Kind::Programming,
                        "SQLite objects created in a thread can only be used in that same thread. The object was "
                        "created in thread id " +
                            thread_name(owner_) + " and this is thread id " + thread_name(here) + ".");
  }
  if (!conn_.is_open()) throw DatabaseError(DatabaseError::Kind::Programming, "Cannot operate on a closed database.");
}

void SQLiteKnowledgeStore::close() {
  if (!conn_.is_open()) return;
  check_usable();
  conn_.close();
}

std::string SQLiteKnowledgeStore::content_hash(const Value& data) { return content_id(data, 16); }

std::string SQLiteKnowledgeStore::now() { return utc_timestamp(); }

json::Object SQLiteKnowledgeStore::row_to_dict(json::Object row) {
  for (std::string_view key : {"sources", "metrics", "details"}) {
    Value* v = row.find(key);
    if (v != nullptr && v->is_string()) *v = json::parse(v->as_string());
  }
  return row;
}

void SQLiteKnowledgeStore::append_history(const Value& pattern_id, std::string_view action, const Value& details) {
  const bool has_details = details.is_object() && !details.as_object().empty();
  const std::array<Value, 4> params = {pattern_id, Value(action), has_details ? stored_json(details) : Value(),
                                       Value(now())};
  conn_.execute(kInsertHistory, params);
}

void SQLiteKnowledgeStore::log_history(std::string_view pattern_id, std::string_view action, const Value& details) {
  check_usable();
  if (!details.is_null() && !details.is_object()) {
    throw TypeMismatchError(std::string("details must be a map or None, not ") + json::kind_name(details.kind()));
  }
  append_history(Value(pattern_id), action, details);
}

json::Value SQLiteKnowledgeStore::first_record(std::string_view sql, std::span<const Value> params) {
  check_usable();
  std::vector<sqlite::Row> rows = conn_.query(sql, params);
  if (rows.empty()) return Value();
  return Value(row_to_dict(std::move(rows.front())));
}

json::Value SQLiteKnowledgeStore::all_records(std::string_view sql, std::span<const Value> params) {
  check_usable();
  std::vector<sqlite::Row> rows = conn_.query(sql, params);
  json::Array out;
  out.reserve(rows.size());
  for (sqlite::Row& row : rows) out.emplace_back(row_to_dict(std::move(row)));
  return Value(std::move(out));
}

std::string SQLiteKnowledgeStore::create_pattern(const json::Object& pattern) {
  check_usable();
  const std::string started = now();
  const std::string id = record_id(pattern, "pattern_id", [&] {
    json::Object identity;
    identity.append("fingerprint", pattern.at("fingerprint"));
    identity.append("scope", value_or(pattern, "scope", "local"));
    identity.append("discovery_method", pattern.at("discovery_method"));
    identity.append("sources", pattern.at("sources"));
    identity.append("metrics", pattern.at("metrics"));
    return Value(std::move(identity));
  });

  // The lookup runs under the write lock, so two writers cannot both find
  // the pattern absent and both insert it.
  sqlite::WriteTransaction tx(conn_);
  const std::array<Value, 1> key = {Value(id)};
  if (const std::vector<sqlite::Row> found = conn_.query(kFindPattern, key); !found.empty()) {
    if (truthy(found.front().at("expired"))) {
      const std::array<Value, 3> params = {Value(started), Value(started), Value(id)};
      conn_.execute(kUnexpirePattern, params);
      json::Object details;
      details.append("reason", "rediscovered");
      append_history(Value(id), "un-expired", Value(std::move(details)));
      tx.commit();
    }
    return id;
  }

  // Every required key is read here, before the first statement writes.
  const std::array<Value, 18> params = {
      Value(id),
      pattern.at("fingerprint"),
      value_or(pattern, "scope", "local"),
      pattern.at("discovery_method"),
      pattern.at("pattern_type"),
      stored_json(pattern.at("sources")),
      stored_json(pattern.at("metrics")),
      value_or(pattern, "description_statistical", Value()),
      value_or(pattern, "description_semantic", Value()),
      value_or(pattern, "correlation_strength", Value()),
      value_or(pattern, "occurrence_count", 1),
      value_or(pattern, "repo_count", 0),
      value_or(pattern, "first_seen", started),
      value_or(pattern, "last_seen", started),
      value_or(pattern, "confidence_tier", "statistical"),
      value_or(pattern, "confidence_status", "emerging"),
      Value(started),
      Value(started)};
  const Value signal_refs = value_or(pattern, "signal_refs", json::Array{});
  if (!signal_refs.is_array()) {
    throw TypeMismatchError(std::string("signal_refs must be a list, not ") + json::kind_name(signal_refs.kind()));
  }
  conn_.execute(kInsertPattern, params);
  for (const Value& ref : signal_refs.as_array()) {
    const std::array<Value, 3> link = {Value(id), ref, Value(started)};
    conn_.execute(kLinkSignal, link);
  }
  json::Object details;
  details.append("fingerprint", pattern.at("fingerprint"));
  details.append("discovery_method", pattern.at("discovery_method"));
  append_history(Value(id), "created", Value(std::move(details)));
  tx.commit();
  return id;
}

json::Value SQLiteKnowledgeStore::get_pattern(std::string_view pattern_id) {
  const std::array<Value, 1> params = {Value(pattern_id)};
  return first_record("SELECT * FROM patterns WHERE pattern_id = ?", params);
}

json::Value SQLiteKnowledgeStore::get_pattern_by_fingerprint(std::string_view fingerprint,
                                                             std::optional<std::string_view> scope) {
  if (given(scope)) {
    const std::array<Value, 2> params = {Value(fingerprint), Value(*scope)};
    return first_record("SELECT * FROM patterns WHERE fingerprint = ? AND scope = ? AND expired = 0", params);
  }
  const std::array<Value, 1> params = {Value(fingerprint)};
  return first_record("SELECT * FROM patterns WHERE fingerprint = ? AND expired = 0", params);
}

void SQLiteKnowledgeStore::update_pattern(std::string_view pattern_id, const json::Object& updates) {
  check_usable();
  json::Object kept;
  for (const json::Member& m : updates) {
    if (std::find(kUpdatableFields.begin(), kUpdatableFields.end(), m.key) != kUpdatableFields.end()) {
      kept.append(m.key, m.value);
    }
  }
  if (kept.empty()) return;
  kept.append("updated_at", now());

  std::string sql = "UPDATE patterns SET ";
  std::vector<Value> params;
  params.reserve(kept.size() + 1);
  for (const json::Member& m : kept) {
    if (!params.empty()) sql += ", ";
    sql += m.key + " = ?";
    params.push_back(m.value);
  }
  sql += " WHERE pattern_id = ?";
  params.emplace_back(pattern_id);

  sqlite::WriteTransaction tx(conn_);
  conn_.execute(sql, params);
  append_history(Value(pattern_id), "updated", Value(std::move(kept)));
  tx.commit();
}

void SQLiteKnowledgeStore::increment_pattern(std::string_view pattern_id, const json::Array& signal_refs,
                                             std::string_view observed_at) {
  check_usable();
  const std::array<Value, 3> params = {Value(observed_at), Value(now()), Value(pattern_id)};
  sqlite::WriteTransaction tx(conn_);
  conn_.execute(kIncrementPattern, params);
  for (const Value& ref : signal_refs) {
    const std::array<Value, 3> link = {Value(pattern_id), ref, Value(observed_at)};
    conn_.execute(kLinkSignal, link);
  }
  json::Object details;
  details.append("signal_refs", signal_refs);
  details.append("observed_at", observed_at);
  append_history(Value(pattern_id), "incremented", Value(std::move(details)));
  tx.commit();
}

json::Value SQLiteKnowledgeStore::list_patterns(std::optional<std::string_view> scope,
                                                std::optional<std::string_view> confidence_tier,
                                                std::optional<std::int64_t> min_occurrences) {
  std::string sql = "SELECT * FROM patterns WHERE expired = 0";
  std::vector<Value> params;
  if (given(scope)) {
    sql += " AND scope = ?";
    params.emplace_back(*scope);
  }
  if (given(confidence_tier)) {
    sql += " AND confidence_tier = ?";
    params.emplace_back(*confidence_tier);
  }
  if (min_occurrences.has_value()) {
    sql += " AND occurrence_count >= ?";
    params.emplace_back(*min_occurrences);
  }
  sql += " ORDER BY last_seen DESC";
  return all_records(sql, params);
}

std::string SQLiteKnowledgeStore::create_knowledge(const json::Object& knowledge) {
  check_usable();
  const std::string started = now();
  const std::string id = record_id(knowledge, "knowledge_id", [&] {
    json::Object identity;
    identity.append("derived_from", knowledge.at("derived_from"));
    identity.append("fingerprint", knowledge.at("fingerprint"));
    return Value(std::move(identity));
  });
  const Value approval_method = value_or(knowledge, "approval_method", "automatic");
  // Every required key is read here, before the first statement writes.
  const std::array<Value, 15> params = {Value(id),
                                        knowledge.at("derived_from"),
                                        knowledge.at("fingerprint"),
                                        value_or(knowledge, "scope", "local"),
                                        knowledge.at("pattern_type"),
                                        stored_json(knowledge.at("sources")),
                                        stored_json(knowledge.at("metrics")),
                                        knowledge.at("description_statistical"),
                                        value_or(knowledge, "description_semantic", Value()),
                                        knowledge.at("support_count"),
                                        knowledge.at("first_seen"),
                                        knowledge.at("last_seen"),
                                        approval_method,
                                        value_or(knowledge, "approval_timestamp", started),
                                        Value(started)};
  sqlite::WriteTransaction tx(conn_);
  conn_.execute(kInsertKnowledge, params);
  json::Object details;
  details.append("knowledge_id", id);
  details.append("approval_method", approval_method);
  append_history(knowledge.at("derived_from"), "promoted", Value(std::move(details)));
  tx.commit();
  return id;
}

json::Value SQLiteKnowledgeStore::get_knowledge(std::string_view knowledge_id) {
  const std::array<Value, 1> params = {Value(knowledge_id)};
  return first_record("SELECT * FROM knowledge WHERE knowledge_id = ?", params);
}

json::Value SQLiteKnowledgeStore::get_knowledge_by_fingerprint(std::string_view fingerprint, std::string_view scope) {
  const std::array<Value, 2> params = {Value(fingerprint), Value(scope)};
  return first_record("SELECT * FROM knowledge WHERE fingerprint = ? AND scope = ?", params);
}

json::Value SQLiteKnowledgeStore::list_knowledge(std::optional<std::string_view> scope) {
  if (given(scope)) {
    const std::array<Value, 1> params = {Value(*scope)};
    return all_records("SELECT * FROM knowledge WHERE scope = ? ORDER BY last_seen DESC", params);
  }
  return all_records("SELECT * FROM knowledge ORDER BY last_seen DESC", {});
}

json::Value SQLiteKnowledgeStore::get_pattern_signals(std::string_view pattern_id) {
  check_usable();
  const std::array<Value, 1> params = {Value(pattern_id)};
  std::vector<sqlite::Row> rows = conn_.query("SELECT * FROM pattern_signals WHERE pattern_id = ? ORDER BY observed_at",
                                              params);
  // Returned as stored: these rows hold no JSON text.
  json::Array out;
  out.reserve(rows.size());
  for (sqlite::Row& row : rows) out.emplace_back(std::move(row));
  return Value(std::move(out));
}

json::Value SQLiteKnowledgeStore::get_pattern_history(std::string_view pattern_id) {
  const std::array<Value, 1> params = {Value(pattern_id)};
  return all_records("SELECT * FROM pattern_history WHERE pattern_id = ? ORDER BY timestamp", params);
}

json::Value SQLiteKnowledgeStore::get_decayed_patterns(std::int64_t decay_window_days) {
  const std::array<Value, 1> params = {Value(decay_cutoff(decay_window_days))};
  return all_records("SELECT * FROM patterns WHERE expired = 0 AND last_seen < ? ORDER BY last_seen", params);
}

void SQLiteKnowledgeStore::expire_pattern(std::string_view pattern_id) {
  check_usable();
  const std::array<Value, 2> params = {Value(now()), Value(pattern_id)};
  sqlite::WriteTransaction tx(conn_);
  conn_.execute(kExpirePattern, params);
  json::Object details;
  details.append("reason", "decay_window_exceeded");
  append_history(Value(pattern_id), "expired", Value(std::move(details)));
  tx.commit();
}

std::optional<std::unordered_set<std::string>> SQLiteKnowledgeStore::counted_events() {
  check_usable();
  std::unordered_set<std::string> out;
  for (const sqlite::Row& row : conn_.query(kCountedEvents)) {
    const Value& ref = row.at("event_ref");
    if (ref.is_string()) out.insert(ref.as_string());
  }
  return out;
}

void SQLiteKnowledgeStore::add_counted_events(const std::vector<std::string>& event_refs) {
  check_usable();
  sqlite::WriteTransaction tx(conn_);
  for (const std::string& ref : event_refs) {
    const std::array<Value, 1> params = {Value(ref)};
    conn_.execute(kCountEvent, params);
  }
  const std::array<Value, 1> mark = {Value(kEarlierRuns)};
  conn_.execute(kUncountMark, mark);  // the list is complete from now on
  tx.commit();
}

}  // namespace varnel::lorekeep
