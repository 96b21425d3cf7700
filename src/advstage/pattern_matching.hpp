// Known patterns among the significant signals: knowledge and stored
// patterns that share a family and a metric with what moved now, and the
// de-duplicated, ranked short list that the text reports show.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "advstage/ports.hpp"
#include "advstage/significance.hpp"
#include "common/json_value.hpp"

namespace varnel::advstage {

// Threshold at which a significant signal counts as moved for matching.
inline constexpr double kComponentThreshold = 1.0;

// Default number of matches a report shows.
inline constexpr std::int64_t kDefaultPatternLimit = 5;

// The families and metrics that moved, from the pattern engine's components.
struct Movement {
  std::set<std::string> families;
  std::set<std::string> metrics;
};

// The movement of `significant` at the component threshold.
Movement movement_of(const SignalRefs& significant);

// A knowledge match for each knowledge item sharing a family and a metric
// with `moved`, in knowledge order.
json::Array match_knowledge(const Movement& moved, const json::Array& knowledge);

// A pattern match for each stored pattern sharing a family and a metric
// with `moved`, in pattern order, listing the shared ones.
json::Array match_stored_patterns(const Movement& moved, const json::Array& patterns);

// The positions in `patterns` of at most `limit` matches (a negative limit
// drops that many from the end, as a slice does): one per set of families
// and metrics (locality counted as dispersion), the strongest of each,
// ordered by the helper's severity and then strength, both descending;
// ties keep their order.
std::vector<std::size_t> dedup_and_limit_patterns(const json::Array& patterns, std::int64_t limit,
                                                  AdvisoryLanguage& language);

// Whether a match names one of `metrics`.
bool names_any_metric(const json::Value& match, const std::set<std::string>& metrics);

}  // namespace varnel::advstage
