// Reading the events' commits and times.
#include "patstage/event_index.hpp"

#include "common/errors.hpp"
#include "common/json_reader.hpp"
#include "workspace/event_cache.hpp"
#include "workspace/event_fields.hpp"
#include "workspace/event_files.hpp"

namespace varnel::patstage {

namespace {

// The members an index needs; the rest of an event (file lists, messages)
// is checked but never built.
const json::Projection kPayload{{{"commit_hash"}, {"committed_at"}, {"authored_at"}, {"trigger"}, {"timing"}}};
const json::Projection kEvent{{{"event_id"}, {"source_type"}, {"observed_at"}, {"payload", &kPayload}}};

}  // namespace

void OrderedIndex::reserve(std::size_t n) {
  entries_.reserve(n);
  position_.reserve(n);
}

void OrderedIndex::set(std::string key, std::string value) {
  auto [it, fresh] = position_.emplace(key, entries_.size());
  if (fresh) {
    entries_.emplace_back(std::move(key), std::move(value));
  } else {
    entries_[it->second].second = std::move(value);
  }
}

const std::string* OrderedIndex::find(std::string_view key) const {
  auto it = position_.find(key);
  return it != position_.end() ? &entries_[it->second].second : nullptr;
}

json::Object OrderedIndex::to_json() const {
  json::Object out;
  out.reserve(entries_.size());
  for (const auto& [key, value] : entries_) out.append(key, value);
  return out;
}

EventIndexes read_event_indexes(const std::filesystem::path& events_dir) {
  EventIndexes out;
  const std::vector<std::string> names = workspace::list_event_files(events_dir);
  const workspace::EventReader reader(events_dir);
  out.commits.reserve(names.size());
  out.times.reserve(names.size());
  for (const std::string& name : names) {
    json::Value event;
    try {
      event = reader.read(name, &kEvent);
    } catch (const Error&) {
      continue;  // unreadable or not JSON: not an event this phase can align
    }
    if (!event.is_object()) continue;
    const json::Value* id = event.get("event_id");
    if (id == nullptr || !id->is_string() || id->as_string().empty()) continue;
    if (const std::string_view sha = workspace::event_commit(event); !sha.empty()) {
      out.commits.set(id->as_string(), std::string(sha));
    }
    const json::Value when = workspace::event_time(event);
    if (when.is_string() && !when.as_string().empty()) out.times.set(id->as_string(), when.as_string());
  }
  return out;
}

}  // namespace varnel::patstage
