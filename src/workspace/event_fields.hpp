// What an event says about itself, read by its source type: the real time
// it happened and the commit it belongs to. Engines that align or order
// events read them by these rules alone.
#pragma once

#include <string_view>

#include "common/json_value.hpp"

namespace varnel::workspace {

// The real time of one event: for "git" the first non-empty of
// payload.committed_at and payload.authored_at, for "github_actions" of
// payload.timing.created_at and started_at, for "github_releases" of
// payload.timing.initiated_at and completed_at; otherwise, or when those are
// empty, the event's observed_at as it is (null included), "" when absent.
// Throws TypeMismatchError when `event` is not an object.
json::Value event_time(const json::Value& event);

// The commit SHA an event belongs to: payload.commit_hash for "git" events,
// payload.trigger.commit_sha for the others; "" when there is none.
std::string_view event_commit(const json::Value& event);

}  // namespace varnel::workspace
