// What the advisory reads from Phase 1 events beyond single fields: the
// real time of an event, by the workspace's rule, and the ordered list of
// the workspace's commits.
#pragma once

#include <string>

#include "advstage/inputs.hpp"
#include "common/json_value.hpp"

namespace varnel::advstage {

// The event's time as text; "" when it has none, a null included, so that
// times always order as text.
std::string event_time(const json::Value& event);

// The same for a stored event, worked out once per event.
const std::string& event_time(const EventMap::Entry& entry);

// The stored event that a signal or change names by its event_ref (absent
// or null read as ""), or nullptr.
const EventMap::Entry* event_of(const json::Value& record, const EventMap& events);

// The commit of every event that names one (a git event's commit_hash, any
// other event's trigger commit_sha), ordered by the events' observed_at as
// text; events with equal times keep the map's order. Duplicates are kept.
json::Array commit_list(const EventMap& events);

}  // namespace varnel::advstage
