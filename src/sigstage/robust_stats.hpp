// Robust deviation of one observation against a history: the modified
// z-score on the median and the median absolute deviation, with the
// interquartile range standing in when the MAD is zero.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/json_value.hpp"
#include "sigstage/metrics.hpp"

namespace varnel::sig {

inline constexpr double kMadFactor = 0.6745;
inline constexpr double kIqrDivisor = 1.35;

// The deviation record of an observation.
struct Deviation {
  std::optional<double> measure;  // rounded to 6 decimals; nullopt only when degenerate and off the median
  std::string_view unit;          // "modified_zscore", "iqr_normalized" or "degenerate"
  Num median;
  Num mad;  // the real 0.0 unless the MAD was used
  bool degenerate;

  // The record a host receives: measure, unit, median, mad, degenerate.
  json::Object to_json() const;
};

// Reusable sort buffers, so that judging a value allocates nothing once warm.
struct StatsScratch {
  std::vector<Num> sorted;
  std::vector<Num> deviations;
};

// Median of non-empty values: the middle element of a stable ascending sort,
// or the mean of the two middle ones (always a real).
Num median(std::span<const Num> values, StatsScratch& scratch);

// Median of the absolute differences from the median.
Num median_absolute_deviation(std::span<const Num> values, StatsScratch& scratch);

// s[3n/4] - s[n/4] of the sorted values, without interpolation.
Num interquartile_range(std::span<const Num> values, StatsScratch& scratch);

// The deviation of `observed` against non-empty `values`.
Deviation compute_robust_deviation(double observed, std::span<const Num> values, StatsScratch& scratch);

}  // namespace varnel::sig
