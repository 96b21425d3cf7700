// The evidence behind the significant signals: the commits and files of
// version-control events, failing tests, direct dependencies, and a
// timeline of what happened when.
#pragma once

#include "advstage/inputs.hpp"
#include "advstage/significance.hpp"
#include "common/json_value.hpp"

namespace varnel::advstage {

// Largest number of entries kept per evidence list.
inline constexpr std::size_t kMaxCommits = 20;
inline constexpr std::size_t kMaxFiles = 50;
inline constexpr std::size_t kMaxTests = 30;
inline constexpr std::size_t kMaxDependencies = 30;
inline constexpr std::size_t kMaxTimeline = 50;

// The evidence record (commits, files_affected, tests_impacted,
// dependencies_changed, timeline) of the events behind `significant`.
json::Value collect_evidence(const SignalRefs& significant, const EventMap& events);

}  // namespace varnel::advstage
