// Defaults, overlay and checks of the parameters.
#include "patstage/params.hpp"

#include <cmath>
#include <string>

#include "common/errors.hpp"

namespace varnel::patstage {

namespace {

// The parameter `key` as a number (a boolean counts as 0 or 1, as the host
// counts it).
double number(const json::Object& values, std::string_view key) {
  const json::Value& v = values.at(key);
  if (!v.is_number() && !v.is_bool()) {
    throw TypeMismatchError(std::string(key) + " must be a number, not " + json::kind_name(v.kind()));
  }
  return v.to_double();
}

void require(bool ok, std::string_view key, std::string_view rule) {
  if (!ok) throw InvalidValueError(std::string(key) + " must be " + std::string(rule));
}

}  // namespace

json::Object default_params() {
  json::Object p;
  p.reserve(10);
  p.append("min_support", 5);
  p.append("min_correlation", 0.4);
  p.append("min_lift", 2.0);
  p.append("min_effect_size", 0.35);
  p.append("promotion_threshold", 10);
  p.append("decay_window", 90);
  p.append("semantic_multiplier", 3);
  p.append("direction_threshold", 1.5);
  p.append("confidence_full_at", 30);
  p.append("temporal_window_hours", 24);
  return p;
}

Params Params::from(const json::Object& overrides) {
  Params p;
  p.values = default_params();
  for (const json::Member& m : overrides) p.values.set(m.key, m.value);
  const json::Object& v = p.values;
  p.min_support = number(v, "min_support");
  p.min_correlation = number(v, "min_correlation");
  p.min_lift = number(v, "min_lift");
  p.min_effect_size = number(v, "min_effect_size");
  p.direction_threshold = number(v, "direction_threshold");
  p.confidence_full_at = number(v, "confidence_full_at");
  p.temporal_window_hours = number(v, "temporal_window_hours");
  number(v, "promotion_threshold");
  number(v, "semantic_multiplier");
  p.promotion_threshold = v.at("promotion_threshold");
  p.semantic_multiplier = v.at("semantic_multiplier");
  // Below one observation a pattern would rest on no evidence; a zero width
  // or full-weight count would divide by zero.
  require(p.min_support >= 1, "min_support", "at least 1");
  require(p.confidence_full_at > 0, "confidence_full_at", "above 0");
  require(p.temporal_window_hours > 0, "temporal_window_hours", "above 0");
  const double days = number(v, "decay_window");
  if (v.at("decay_window").is_int()) {
    p.decay_window = v.at("decay_window").as_int();
  } else {
    require(std::trunc(days) == days && std::fabs(days) < 0x1p62, "decay_window", "a whole number of days");
    p.decay_window = static_cast<std::int64_t>(days);
  }
  return p;
}

}  // namespace varnel::patstage
