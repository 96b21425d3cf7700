// The pattern engine's tunable parameters: the ten defaults, the caller's
// overlay, and the checks that keep a run from dividing by zero or accepting
// empty evidence.
#pragma once

#include <cstdint>

#include "common/json_value.hpp"

namespace varnel::patstage {

// The ten parameters with their defaults, in their fixed order.
json::Object default_params();

struct Params {
  // The effective map: the defaults overlaid by every key of the caller's
  // map (keys the caller adds are kept).
  json::Object values;

  double min_support;
  double min_correlation;
  double min_lift;
  double min_effect_size;
  double direction_threshold;
  double confidence_full_at;
  double temporal_window_hours;
  std::int64_t decay_window;
  // Kept as given: the promotion count is compared with them exactly.
  json::Value promotion_threshold;
  json::Value semantic_multiplier;

  // The defaults overlaid by `overrides`. Throws TypeMismatchError when one
  // of the ten is not a number and InvalidValueError when min_support is
  // below 1, confidence_full_at or temporal_window_hours is not above 0, or
  // decay_window is not a whole number of days.
  static Params from(const json::Object& overrides);
};

}  // namespace varnel::patstage
