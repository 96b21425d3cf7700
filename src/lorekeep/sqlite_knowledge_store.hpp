// The SQLite backend of the knowledge base: one database file in write-ahead
// logging mode with foreign keys enforced. Every write operation is one
// transaction: it commits at its end or, when it fails, rolls back whatever
// it executed, so the file never holds half of an operation.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <thread>

#include "lorekeep/knowledge_store_base.hpp"
#include "lorekeep/sqlite_connection.hpp"

namespace varnel::lorekeep {

class SQLiteKnowledgeStore : public KnowledgeStoreBase {
 public:
  // Opens the database at `db_path`, creating the file and its directory
  // when absent, and prepares the schema. The store belongs to the calling
  // thread: use from any other thread is refused.
  explicit SQLiteKnowledgeStore(std::filesystem::path db_path);

  // The database file's path.
  const std::filesystem::path& db_path() const { return db_path_; }

  std::string create_pattern(const json::Object& pattern) override;
  json::Value get_pattern(std::string_view pattern_id) override;
  json::Value get_pattern_by_fingerprint(std::string_view fingerprint,
                                         std::optional<std::string_view> scope) override;
  void update_pattern(std::string_view pattern_id, const json::Object& updates) override;
  void increment_pattern(std::string_view pattern_id, const json::Array& signal_refs,
                         std::string_view observed_at) override;
  json::Value list_patterns(std::optional<std::string_view> scope, std::optional<std::string_view> confidence_tier,
                            std::optional<std::int64_t> min_occurrences) override;
  std::string create_knowledge(const json::Object& knowledge) override;
  json::Value get_knowledge(std::string_view knowledge_id) override;
  json::Value get_knowledge_by_fingerprint(std::string_view fingerprint, std::string_view scope) override;
  json::Value list_knowledge(std::optional<std::string_view> scope) override;
  json::Value get_pattern_signals(std::string_view pattern_id) override;
  json::Value get_pattern_history(std::string_view pattern_id) override;
  json::Value get_decayed_patterns(std::int64_t decay_window_days) override;
  void expire_pattern(std::string_view pattern_id) override;
  std::optional<std::unordered_set<std::string>> counted_events() override;
  void add_counted_events(const std::vector<std::string>& event_refs) override;

  // Closes the connection; it commits nothing. Later use is refused; a
  // second close does nothing.
  void close();

  // Appends one audit entry; `details` is a map or null, and an empty map
  // is stored as NULL. Runs inside no transaction of its own.
  void log_history(std::string_view pattern_id, std::string_view action, const json::Value& details);

  // The 16-digit content identifier of `data`, independent of key order.
  static std::string content_hash(const json::Value& data);
  // The current UTC time as the store writes timestamps.
  static std::string now();
  // `row` with its sources, metrics and details texts parsed as JSON.
  static json::Object row_to_dict(json::Object row);

 private:
  // Refuses use from a foreign thread or after close.
  void check_usable() const;
  // Runs the schema script and adds repo_count to files that predate it.
  void create_tables();
  // Inserts an audit row; `pattern_id` is bound as given.
  void append_history(const json::Value& pattern_id, std::string_view action, const json::Value& details);
  // The first row of a query, decoded, or null.
  json::Value first_record(std::string_view sql, std::span<const json::Value> params);
  // Every row of a query, decoded.
  json::Value all_records(std::string_view sql, std::span<const json::Value> params);

  std::filesystem::path db_path_;
  std::thread::id owner_;
  sqlite::Connection conn_;
};

}  // namespace varnel::lorekeep
