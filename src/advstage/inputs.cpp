// Loading the explanations, events and knowledge of a workspace.
#include "advstage/inputs.hpp"

#include <system_error>
#include <utility>

#include "advstage/fields.hpp"
#include "common/errors.hpp"
#include "common/json_logic.hpp"
#include "common/json_reader.hpp"
#include "common/json_writer.hpp"
#include "lorekeep/sqlite_knowledge_store.hpp"
#include "workspace/event_cache.hpp"
#include "workspace/event_files.hpp"
#include "workspace/layout.hpp"

namespace varnel::advstage {

namespace {

bool file_exists(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

std::string canonical(const Value& id) { return json::dumps(id, json::kCanonical); }

const json::Projection kSignalRecord{
    {{"engine_id"}, {"metric"}, {"baseline"}, {"observed"}, {"deviation"}, {"event_ref"}}, nullptr};
const json::Projection kDetails{{{"metric"}}, nullptr};
// An explanation that a signal's key finds always keeps its engine_id, so a
// projected record is empty only where the whole one adds nothing either.
const json::Projection kExplanationRecord{{{"engine_id"}, {"signal_ref"}, {"summary"}, {"details", &kDetails}},
                                          nullptr};
// What commit_list reads of an event.
const json::Projection kTrigger{{{"commit_sha"}}, nullptr};
const json::Projection kCommitPayload{{{"commit_hash"}, {"trigger", &kTrigger}}, nullptr};
const json::Projection kCommitFacts{{{"event_id"}, {"source_type"}, {"observed_at"}, {"payload", &kCommitPayload}},
                                    nullptr};

}  // namespace

const json::Projection kRunSignalFields{{}, &kSignalRecord};
const json::Projection kRunExplanationFields{{}, &kExplanationRecord};

void EventMap::put(Value id, Value event) {
  auto& index = id.is_string() ? by_text_ : by_other_;
  const auto [it, added] = index.try_emplace(id.is_string() ? id.as_string() : canonical(id), entries_.size());
  if (added) {
    entries_.push_back(Entry{std::move(id), std::move(event), std::nullopt});
  } else {
    entries_[it->second].event = std::move(event);
    entries_[it->second].time.reset();
  }
}

void EventMap::reserve(std::size_t n) {
  entries_.reserve(n);
  by_text_.reserve(n);
}

const EventMap::Entry* EventMap::find(const std::string& id) const {
  const auto it = by_text_.find(id);
  return it == by_text_.end() ? nullptr : &entries_[it->second];
}

const EventMap::Entry* EventMap::find(const Value& id) const {
  if (id.is_string()) return find(id.as_string());
  const auto it = by_other_.find(canonical(id));
  return it == by_other_.end() ? nullptr : &entries_[it->second];
}

ExplanationKeys explanation_keys(const Value& signal) {
  std::string shared = text_of(required(signal, "engine_id")) + ":" + text_of(required(signal, "metric"));
  return {text_field(signal, "event_ref") + ":" + shared, std::move(shared)};
}

void ExplanationIndex::store(const std::string& key, std::size_t record, bool replace) {
  const auto [it, added] = position_.try_emplace(key, keys_.size());
  if (added) {
    keys_.emplace_back(&it->first, record);
  } else if (replace) {
    keys_[it->second].second = record;
  }
}

void ExplanationIndex::add(Value explanation) {
  const Value* ref = field(explanation, "signal_ref");
  const Value* engine = field(explanation, "engine_id");
  const Value* metric = field(object_field(explanation, "details"), "metric");
  const std::string shared =
      (engine != nullptr ? text_of(*engine) : "") + ":" + (metric != nullptr ? text_of(*metric) : "");
  const bool keyed = ref != nullptr && engine != nullptr && metric != nullptr && json::truthy(*ref) &&
                     json::truthy(*engine) && json::truthy(*metric);
  const std::string own = keyed ? text_of(*ref) + ":" + shared : std::string();
  const bool file_own = keyed && wanted(own);
  const bool file_shared = wanted(shared) && position_.count(shared) == 0;
  if (!file_own && !file_shared) return;
  records_.push_back(std::move(explanation));
  if (file_own) store(own, records_.size() - 1, true);
  if (file_shared) store(shared, records_.size() - 1, false);
}

void ExplanationIndex::set(const std::string& key, Value record) {
  records_.push_back(std::move(record));
  store(key, records_.size() - 1, true);
}

json::Object ExplanationIndex::to_json() const {
  json::Object out;
  out.reserve(keys_.size());
  for (const auto& [key, record] : keys_) out.append(*key, records_[record]);
  return out;
}

const Value* ExplanationIndex::find(const std::string& key) const {
  const auto it = position_.find(key);
  return it == position_.end() ? nullptr : &records_[keys_[it->second].second];
}

void load_explanations(const std::filesystem::path& phase3_path, ExplanationIndex& index,
                       const json::Projection* keep) {
  const std::filesystem::path path = workspace::explanations_file(phase3_path);
  if (!file_exists(path)) return;
  Value parsed = json::read_file(path, keep);
  if (!parsed.is_array()) {
    throw TypeMismatchError(path.string() + ": explanations must be a JSON array, not " +
                            json::kind_name(parsed.kind()));
  }
  for (Value& explanation : parsed.as_array()) index.add(std::move(explanation));
}

EventMap load_events(const std::filesystem::path& events_path, const std::unordered_set<std::string>* whole) {
  EventMap events;
  const std::vector<std::string> names = workspace::event_files_as_listed(events_path);
  const workspace::EventReader reader(events_path);
  events.reserve(names.size());
  for (const std::string& name : names) {
    const std::filesystem::path path = events_path / name;
    Value event = reader.read(name, whole != nullptr ? &kCommitFacts : nullptr);
    if (!event.is_object()) {
      throw TypeMismatchError(path.string() + ": an event must be a JSON object, not " +
                              json::kind_name(event.kind()));
    }
    const Value* id = field(event, "event_id");
    Value key = id != nullptr ? *id : Value(path.stem().string());
    if (whole != nullptr && (!key.is_string() || whole->contains(key.as_string()))) event = reader.read(name);
    events.put(std::move(key), std::move(event));
  }
  return events;
}

Value load_knowledge(const std::filesystem::path& phase4_path) {
  const std::filesystem::path path = workspace::knowledge_base_file(phase4_path);
  if (!file_exists(path)) return Value(json::Array{});
  lorekeep::SQLiteKnowledgeStore store(path);
  Value knowledge = store.list_knowledge("local");
  store.close();
  return knowledge;
}

Value load_patterns(const std::filesystem::path& phase4_path, std::optional<std::string_view> scope) {
  const std::filesystem::path path = workspace::knowledge_base_file(phase4_path);
  if (!file_exists(path)) return Value(json::Array{});
  lorekeep::SQLiteKnowledgeStore store(path);
  Value patterns = store.list_patterns(scope, std::nullopt, std::nullopt);
  store.close();
  return patterns;
}

}  // namespace varnel::advstage
