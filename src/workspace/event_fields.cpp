// Reading an event's time and commit.
#include "workspace/event_fields.hpp"

#include <string>

#include "common/errors.hpp"
#include "common/json_logic.hpp"

namespace varnel::workspace {

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

}  // namespace

json::Value event_time(const json::Value& event) {
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

}  // namespace varnel::workspace
