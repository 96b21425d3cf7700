// Reading the events' commits and times.
#include "event_index.hpp"

#include "common/errors.hpp"
#include "common/json_logic.hpp"
#include "common/json_reader.hpp"
#include "sigstage/event_catalog.hpp"

namespace varnel::patstage {

namespace {

const json::Value kEmptyText{std::string()};

// The member `key` of an object, nullptr when absent or not an object.
const json::Value* member(const json::Value* object, std::string_view key) {
  return object != nullptr ? object->get(key) : nullptr;
}

// The member `key` when it is an object, else nullptr (an empty map).
const json::Value* object_member(const json::Value* object, std::string_view key) {
  const json::Value* v = member(object, key);
  return v != nullptr && v->is_object() ? v : nullptr;
}

std::string_view text_of(const json::Value* v) {
  return v != nullptr && v->is_string() ? std::string_view(v->as_string()) : std::string_view();
}

// The first of two members that is not empty (truthy), or nullptr.
const json::Value* first_present(const json::Value* object, std::string_view a, std::string_view b) {
  for (std::string_view key : {a, b}) {
    const json::Value* v = member(object, key);
    if (v != nullptr && json::truthy(*v)) return v;
  }
  return nullptr;
}

// The members an index needs; the rest of an event (file lists, messages)
// is checked but never built.
const json::Projection kPayload{{{"commit_hash"}, {"committed_at"}, {"authored_at"}, {"trigger"}, {"timing"}}};
const json::Projection kEvent{{{"event_id"}, {"source_type"}, {"observed_at"}, {"payload", &kPayload}}};

}  // namespace

json::Value extract_event_timestamp(const json::Value& event) {
  if (!event.is_object()) {
    throw TypeMismatchError(std::string("an event must be an object, not ") + json::kind_name(event.kind()));
  }
  const json::Value* payload = object_member(&event, "payload");
  const std::string_view type = text_of(event.get("source_type"));
  const json::Value* found = nullptr;
  if (type == "git") {
    found = first_present(payload, "committed_at", "authored_at");
  } else if (type == "github_actions") {
    found = first_present(object_member(payload, "timing"), "created_at", "started_at");
  } else if (type == "github_releases") {
    found = first_present(object_member(payload, "timing"), "initiated_at", "completed_at");
  }
  if (found != nullptr) return *found;
  const json::Value* observed = event.get("observed_at");
  return observed != nullptr ? *observed : kEmptyText;
}

std::string_view event_commit(const json::Value& event) {
  const json::Value* payload = object_member(&event, "payload");
  if (text_of(event.get("source_type")) == "git") return text_of(member(payload, "commit_hash"));
  return text_of(member(object_member(payload, "trigger"), "commit_sha"));
}

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
  const std::vector<std::string> names = sig::list_event_files(events_dir);
  out.commits.reserve(names.size());
  out.times.reserve(names.size());
  for (const std::string& name : names) {
    json::Value event;
    try {
      event = json::read_file(events_dir / name, &kEvent);
    } catch (const Error&) {
      continue;  // unreadable or not JSON: not an event this phase can align
    }
    if (!event.is_object()) continue;
    const std::string_view id = text_of(event.get("event_id"));
    if (id.empty()) continue;
    if (const std::string_view sha = event_commit(event); !sha.empty()) {
      out.commits.set(std::string(id), std::string(sha));
    }
    const json::Value when = extract_event_timestamp(event);
    if (when.is_string() && !when.as_string().empty()) out.times.set(std::string(id), when.as_string());
  }
  return out;
}

}  // namespace varnel::patstage
