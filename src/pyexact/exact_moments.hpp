// The mean and population standard deviation of a history, exactly as exact
// rational arithmetic gives them: the mean rounded once to the nearest double
// (an integer when every value is an integer and the mean is whole), the
// standard deviation as the correctly rounded square root of the exact
// population variance.
#pragma once

#include <span>

#include "pyexact/number.hpp"

namespace varnel::pyexact {

struct Moments {
  Num mean;
  double stddev;
};

// Mean and population standard deviation of a non-empty history.
Moments exact_moments(std::span<const Num> values);

}  // namespace varnel::pyexact
