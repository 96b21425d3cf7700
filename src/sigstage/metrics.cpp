// Metrics maps and interned metric names.
#include "sigstage/metrics.hpp"

#include <cmath>

#include "common/errors.hpp"

namespace varnel::sig {

MetricValue MetricValue::of_real(double v) { return std::isfinite(v) ? of(Num::real(v)) : null(); }

const MetricValue* Metrics::find(std::uint16_t name) const {
  for (const Metric& m : items) {
    if (m.name == name) return &m.value;
  }
  return nullptr;
}

std::uint16_t NameTable::intern(std::string_view name) {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (names_[i] == name) return static_cast<std::uint16_t>(i);
  }
  if (names_.size() >= 0xFFFF) throw InvalidValueError("too many distinct metric names");
  names_.emplace_back(name);
  return static_cast<std::uint16_t>(names_.size() - 1);
}

}  // namespace varnel::sig
