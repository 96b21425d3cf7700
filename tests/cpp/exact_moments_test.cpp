// Means and spreads exactly as rational arithmetic gives them, kinds included.
#include "pyexact/exact_moments.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "num_lists.hpp"

namespace pyexact = varnel::pyexact;
using pyexact::Num;

using varnel::testing::ints;

TEST(ExactMoments, KindsAndRounding) {
  pyexact::Moments m = pyexact::exact_moments(ints({2, 4, 6}));
  EXPECT_TRUE(m.mean.is_int());
  EXPECT_EQ(m.mean.int_value(), 4);
  EXPECT_EQ(m.stddev, std::sqrt(8.0 / 3.0));
  m = pyexact::exact_moments(ints({1, 2}));
  EXPECT_FALSE(m.mean.is_int());
  EXPECT_EQ(m.mean.real_value(), 1.5);
  // Naive double sums lose the 1 entirely.
  const std::vector<Num> wide{Num::real(1e300), Num::integer(1), Num::real(-1e300)};
  EXPECT_EQ(pyexact::exact_moments(wide).mean.real_value(), 1.0 / 3.0);
}
