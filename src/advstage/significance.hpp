// Which signals matter: those whose deviation is far enough from normal.
#pragma once

#include <vector>

#include "common/json_value.hpp"

namespace varnel::advstage {

// Signals by reference, in the order of the list they come from.
using SignalRefs = std::vector<const json::Value*>;

// Absolute deviations above this are discarded for build duration: no real
// build is that far from its normal, so the measure is an artifact.
inline constexpr double kBuildDurationCutoff = 100000.0;

// The signals of `signals` whose absolute deviation measure is at least
// `threshold`, in input order. A degenerate deviation, a missing or null
// measure, the metric "direct_count" and build durations beyond the cut-off
// are never significant.
SignalRefs filter_significant(const json::Array& signals, double threshold);

// The absolute value of a number, of the same kind (a boolean counts as the
// integer 0 or 1). Throws TypeMismatchError for anything else.
json::Value abs_number(const json::Value& x);

// The size of a number as a double, for ordering by strength.
double magnitude(const json::Value& x);

}  // namespace varnel::advstage
