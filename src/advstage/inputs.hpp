// What the earlier phases left in the workspace, brought into memory: the
// explanations by key, the Phase 1 events by identifier, and the knowledge
// base's local knowledge and stored patterns (the signals come through the
// workspace's loader). A missing input reads as empty; an input that
// exists but cannot be read or decoded fails.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/json_reader.hpp"
#include "common/json_value.hpp"

namespace varnel::advstage {

using json::Value;

// Phase 1 events by identifier, in the order they were stored. Storing an
// identifier again replaces its record and keeps its place.
class EventMap {
 public:
  struct Entry {
    Value id;
    Value event;
    mutable std::optional<std::string> time;  // the event's time, once asked for
  };

  void put(Value id, Value event);
  // Makes room for `n` events.
  void reserve(std::size_t n);
  // The entry stored under `id`, or nullptr.
  const Entry* find(const Value& id) const;
  const Entry* find(const std::string& id) const;
  const std::vector<Entry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }

 private:
  std::vector<Entry> entries_;
  std::unordered_map<std::string, std::size_t> by_text_;   // identifiers that are text
  std::unordered_map<std::string, std::size_t> by_other_;  // others, by canonical JSON
};

// The keys under which a signal's explanation is found: its own
// "<event_ref>:<engine_id>:<metric>", else its family and metric's
// "<engine_id>:<metric>".
struct ExplanationKeys {
  std::string own;
  std::string shared;
};

// The explanation keys of a signal (engine_id and metric are required).
ExplanationKeys explanation_keys(const Value& signal);

// Explanation records by key: "<signal>:<family>:<metric>" for the last
// explanation of each signal and metric, "<family>:<metric>" for the first
// explanation of each family and metric. Keys keep their first place.
class ExplanationIndex {
 public:
  // An index of every key, or only of the keys in `wanted` (the lookups a
  // run will make), which spares it the records nobody asks for.
  explicit ExplanationIndex(std::optional<std::unordered_set<std::string>> wanted = std::nullopt)
      : wanted_(std::move(wanted)) {}
  ExplanationIndex(ExplanationIndex&&) = default;

  // Files an explanation record under its keys.
  void add(Value explanation);
  // Stores `record` under `key`, replacing what was there.
  void set(const std::string& key, Value record);
  // The record stored under `key`, or nullptr.
  const Value* find(const std::string& key) const;
  // Every key with its record, keys in order.
  json::Object to_json() const;

 private:
  bool wanted(const std::string& key) const { return !wanted_ || wanted_->count(key) != 0; }
  // Stores record number `record` under `key`; an existing key is replaced
  // only when `replace`.
  void store(const std::string& key, std::size_t record, bool replace);

  std::optional<std::unordered_set<std::string>> wanted_;
  std::vector<Value> records_;
  std::vector<std::pair<const std::string*, std::size_t>> keys_;  // keys live in position_
  std::unordered_map<std::string, std::size_t> position_;          // key to its place in keys_
};

// The fields of signals and explanations that an advisory run reads; the
// rest of those large files is checked but never built.
extern const json::Projection kRunSignalFields;
extern const json::Projection kRunExplanationFields;

// Files the explanations of phase3/explanations.json (none when absent) in
// `index`, reading only the fields `keep` names, when given.
void load_explanations(const std::filesystem::path& phase3_path, ExplanationIndex& index,
                       const json::Projection* keep = nullptr);

// The events of the "*.json" files of `events_path` in directory listing
// order, each under its event_id or, without one, its file name's stem.
// With `whole`, only the events stored under a text key in it are read
// whole; every other keeps what the list of commits reads (its id, source
// type, observed_at and commit), so a long history is not held in full.
EventMap load_events(const std::filesystem::path& events_path,
                     const std::unordered_set<std::string>* whole = nullptr);

// The local knowledge of phase4/knowledge.db; empty when the file does not
// exist (it is never created here).
Value load_knowledge(const std::filesystem::path& phase4_path);

// The stored patterns of `scope` (every scope when nullopt) of
// phase4/knowledge.db; empty when the file does not exist.
Value load_patterns(const std::filesystem::path& phase4_path, std::optional<std::string_view> scope);

}  // namespace varnel::advstage
