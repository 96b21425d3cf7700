// The knowledge base's interface: the fourteen operations through which the
// pattern and advisory engines read and change patterns, knowledge, their
// evidence and their audit history. Records are JSON maps in column order;
// a lookup yields a map or null, a listing a list of maps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/json_value.hpp"

namespace varnel::lorekeep {

// In the counted events: runs before the record began saw events it does not list.
inline constexpr std::string_view kEarlierRuns = "";

class KnowledgeStoreBase {
 public:
  virtual ~KnowledgeStoreBase() = default;

  // Stores a new pattern (or revives an expired one) and returns its id.
  virtual std::string create_pattern(const json::Object& pattern) = 0;
  // The pattern with this id, expired or not, or null.
  virtual json::Value get_pattern(std::string_view pattern_id) = 0;
  // An active pattern with this fingerprint in `scope` (any scope when null
  // or empty), or null.
  virtual json::Value get_pattern_by_fingerprint(std::string_view fingerprint,
                                                 std::optional<std::string_view> scope) = 0;
  // Changes the updatable fields named in `updates`; other keys are dropped.
  virtual void update_pattern(std::string_view pattern_id, const json::Object& updates) = 0;
  // Counts one more occurrence seen at `observed_at` and links its signals.
  virtual void increment_pattern(std::string_view pattern_id, const json::Array& signal_refs,
                                 std::string_view observed_at) = 0;
  // Active patterns, most recently seen first, filtered by the given values.
  virtual json::Value list_patterns(std::optional<std::string_view> scope,
                                    std::optional<std::string_view> confidence_tier,
                                    std::optional<std::int64_t> min_occurrences) = 0;
  // Promotes a pattern to knowledge and returns the knowledge id.
  virtual std::string create_knowledge(const json::Object& knowledge) = 0;
  // The knowledge with this id, or null.
  virtual json::Value get_knowledge(std::string_view knowledge_id) = 0;
  // Knowledge with this fingerprint in `scope`, or null.
  virtual json::Value get_knowledge_by_fingerprint(std::string_view fingerprint, std::string_view scope) = 0;
  // All knowledge of `scope` (every scope when null or empty), most recent first.
  virtual json::Value list_knowledge(std::optional<std::string_view> scope) = 0;
  // The signals linked to a pattern, oldest observation first.
  virtual json::Value get_pattern_signals(std::string_view pattern_id) = 0;
  // The audit entries filed under a pattern id, in timestamp order.
  virtual json::Value get_pattern_history(std::string_view pattern_id) = 0;
  // Active patterns last seen before now minus `decay_window_days`, oldest first.
  virtual json::Value get_decayed_patterns(std::int64_t decay_window_days) = 0;
  // Marks a pattern expired.
  virtual void expire_pattern(std::string_view pattern_id) = 0;

  // Beside the fourteen, with defaults, so a backend written for them still
  // works: the events whose signals earlier runs have seen, or nothing when
  // the backend keeps no such record (every occurrence then counts). The
  // empty reference `kEarlierRuns` among them says that runs before the
  // record began saw events it does not list.
  virtual std::optional<std::unordered_set<std::string>> counted_events() { return std::nullopt; }
  // Adds events to that record, which is complete from then on.
  virtual void add_counted_events(const std::vector<std::string>& event_refs) { (void)event_refs; }
};

}  // namespace varnel::lorekeep
