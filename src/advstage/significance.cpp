// The significance rule.
#include "advstage/significance.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include "advstage/fields.hpp"
#include "common/errors.hpp"
#include "common/json_logic.hpp"

namespace varnel::advstage {

namespace {

// Whether the size of `measure` is at least `threshold` (strictly above it
// when `strictly`), judged exactly on the number as read.
bool size_reaches(const json::Value& measure, double threshold, bool strictly) {
  const json::Value size = abs_number(measure);
  const auto order = json::compare_numbers(size, json::Value(threshold), strictly ? ">" : ">=");
  return strictly ? order == std::partial_ordering::greater
                  : (order == std::partial_ordering::greater || order == std::partial_ordering::equivalent);
}

}  // namespace

json::Value abs_number(const json::Value& x) {
  switch (x.kind()) {
    case json::Value::Kind::Bool: return json::Value(static_cast<std::int64_t>(x.as_bool()));
    case json::Value::Kind::Int:
      if (x.as_int() == std::numeric_limits<std::int64_t>::min()) {
        return json::Value(json::BigInt{"9223372036854775808"});
      }
      return json::Value(x.as_int() < 0 ? -x.as_int() : x.as_int());
    case json::Value::Kind::BigInt: {
      const std::string& digits = x.as_bigint().digits;
      return json::Value(json::BigInt{digits.front() == '-' ? digits.substr(1) : digits});
    }
    case json::Value::Kind::Real: return json::Value(std::fabs(x.as_real()));
    default:
      throw TypeMismatchError(std::string("bad operand type for abs(): '") + json::kind_name(x.kind()) + "'");
  }
}

double magnitude(const json::Value& x) { return std::fabs(abs_number(x).to_double()); }

SignalRefs filter_significant(const json::Array& signals, double threshold) {
  SignalRefs significant;
  for (const json::Value& signal : signals) {
    const json::Value& deviation = object_field(signal, "deviation");
    const json::Value* degenerate = field(deviation, "degenerate");
    if (degenerate != nullptr && json::truthy(*degenerate)) continue;
    const json::Value* measure = field(deviation, "measure");
    if (measure == nullptr) continue;
    const json::Value* metric = field(signal, "metric");
    const bool is_text = metric != nullptr && metric->is_string();
    if (is_text && metric->as_string() == "direct_count") continue;
    if (is_text && metric->as_string() == "run_duration" && size_reaches(*measure, kBuildDurationCutoff, true)) {
      continue;
    }
    if (size_reaches(*measure, threshold, false)) significant.push_back(&signal);
  }
  return significant;
}

}  // namespace varnel::advstage
