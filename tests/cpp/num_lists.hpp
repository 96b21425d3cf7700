// Lists of exact numbers for the statistics tests.
#pragma once

#include <initializer_list>
#include <vector>

#include "pyexact/number.hpp"

namespace varnel::testing {

// Integers as exact numbers, in order.
inline std::vector<pyexact::Num> ints(std::initializer_list<long> values) {
  std::vector<pyexact::Num> out;
  for (long x : values) out.push_back(pyexact::Num::integer(x));
  return out;
}

}  // namespace varnel::testing
