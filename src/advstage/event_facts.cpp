// Event times and the commit list.
#include "advstage/event_facts.hpp"

#include <algorithm>
#include <utility>

#include "advstage/fields.hpp"
#include "common/json_logic.hpp"
#include "workspace/event_fields.hpp"

namespace varnel::advstage {

std::string event_time(const Value& event) {
  const Value time = workspace::event_time(event);
  return time.is_null() ? std::string() : text_of(time);
}

const std::string& event_time(const EventMap::Entry& entry) {
  if (!entry.time) entry.time = event_time(entry.event);
  return *entry.time;
}

const EventMap::Entry* event_of(const Value& record, const EventMap& events) {
  static const Value kNone("");
  const Value* ref = field(record, "event_ref");
  return events.find(ref != nullptr ? *ref : kNone);
}

json::Array commit_list(const EventMap& events) {
  std::vector<std::pair<std::string, const Value*>> commits;
  for (const EventMap::Entry& entry : events.entries()) {
    const Value& event = entry.event;
    const Value& payload = object_field(event, "payload");
    const Value* type = field(event, "source_type");
    const bool git = type != nullptr && type->is_string() && type->as_string() == "git";
    const Value* commit = git ? field(payload, "commit_hash") : field(object_field(payload, "trigger"), "commit_sha");
    if (commit != nullptr && json::truthy(*commit)) commits.emplace_back(text_field(event, "observed_at"), commit);
  }
  std::stable_sort(commits.begin(), commits.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  json::Array out;
  out.reserve(commits.size());
  for (const auto& [time, commit] : commits) out.push_back(*commit);
  return out;
}

}  // namespace varnel::advstage
