// The two indexes that align signals of different families: event to commit
// SHA and event to the event's real time, both read from the workspace's
// event files in one pass. The event-time rule is also the advisory
// engine's, which calls extract_event_timestamp for its own events.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/json_value.hpp"

namespace varnel::patstage {

// The real time of one event: for "git" the first non-empty of
// payload.committed_at and payload.authored_at, for "github_actions" of
// payload.timing.created_at and started_at, for "github_releases" of
// payload.timing.initiated_at and completed_at; otherwise, or when those are
// empty, the event's observed_at as it is (null included), "" when absent.
// Throws TypeMismatchError when `event` is not an object.
json::Value extract_event_timestamp(const json::Value& event);

// The commit SHA an event belongs to: payload.commit_hash for "git" events,
// payload.trigger.commit_sha for the others; "" when there is none.
std::string_view event_commit(const json::Value& event);

// A text-to-text map that keeps its keys in first-insertion order; setting
// a present key replaces its value in place.
class OrderedIndex {
 public:
  void reserve(std::size_t n);
  void set(std::string key, std::string value);
  // The value of `key`, or nullptr.
  const std::string* find(std::string_view key) const;
  const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }
  // The map as a JSON object in key order.
  json::Object to_json() const;

 private:
  // Looks texts up without copying them.
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };

  std::vector<std::pair<std::string, std::string>> entries_;
  std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> position_;
};

struct EventIndexes {
  OrderedIndex commits;  // event_id -> commit SHA
  OrderedIndex times;    // event_id -> timestamp text
};

// Reads every "*.json" file of `events_dir` (in name order, so that a later
// file carrying the same event_id wins on every machine) and indexes the
// events with a text event_id: those with a commit SHA, and those with a
// text timestamp. Files that cannot be read, are not JSON or are not an
// object are skipped; a missing directory gives empty indexes.
EventIndexes read_event_indexes(const std::filesystem::path& events_dir);

}  // namespace varnel::patstage
