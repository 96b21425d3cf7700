// The metrics map of one event: metric names (interned to small ids) with a
// value each. A value is a number, null (not measured), or something that is
// not a number, which fails the run only where it is used.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pyexact/number.hpp"

namespace varnel::sig {

// Metric numbers keep a host's arithmetic exactly.
using pyexact::Num;

struct MetricValue {
  enum class Kind : std::uint8_t { Null, Number, Invalid };
  Kind kind = Kind::Null;
  Num number = Num::integer(0);
  std::string problem;  // for Invalid: the message of the TypeError it raises when used

  static MetricValue null() { return {}; }
  static MetricValue of(const Num& n) { return {Kind::Number, n, {}}; }
  static MetricValue invalid(std::string why) { return {Kind::Invalid, Num::integer(0), std::move(why)}; }
  // A computed real: NaN and the infinities are not measurements.
  static MetricValue of_real(double v);
};

struct Metric {
  std::uint16_t name;  // index into the family's name table
  MetricValue value;
};

struct Metrics {
  std::vector<Metric> items;
  // A map that was null (a host's metric function returned None).
  bool missing = false;

  const MetricValue* find(std::uint16_t name) const;
};

// Interned metric names of one family, in order of first appearance.
class NameTable {
 public:
  std::uint16_t intern(std::string_view name);
  const std::string& name(std::uint16_t id) const { return names_[id]; }

 private:
  std::vector<std::string> names_;
};

}  // namespace varnel::sig
