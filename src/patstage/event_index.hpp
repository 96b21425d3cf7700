// The two indexes that align signals of different families: event to commit
// SHA and event to the event's real time (by the workspace's rules for both),
// read from the workspace's event files in one pass.
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
