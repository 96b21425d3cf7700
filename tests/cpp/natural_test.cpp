// Arbitrary-precision naturals: exact division, roots and one rounding to
// the nearest double, as a host's integer arithmetic gives them.
#include "pyexact/natural.hpp"

#include <gtest/gtest.h>

#include <cmath>

using varnel::pyexact::Natural;
namespace pyexact = varnel::pyexact;

TEST(Natural, DivisionAndRoots) {
  const Natural big = (Natural(0xFFFFFFFFFFFFFFFFull) * Natural(0xFFFFFFFFFFFFFFFFull)) << 100;
  Natural q;
  Natural r;
  divmod(big + Natural(12345), Natural(0xFFFFFFFFFFFFFFFFull) << 100, q, r);
  EXPECT_EQ(q, Natural(0xFFFFFFFFFFFFFFFFull));
  EXPECT_EQ(r, Natural(12345));
  EXPECT_EQ(pyexact::isqrt(Natural(99)), Natural(9));
  EXPECT_EQ(pyexact::isqrt(Natural(100)), Natural(10));
  const Natural root = Natural(0x123456789ABCDEFull) << 300;
  EXPECT_EQ(pyexact::isqrt(root * root), root);
  EXPECT_EQ(pyexact::isqrt(root * root - Natural(1)), root - Natural(1));
}

TEST(Natural, RatioRoundsOnceToNearestEven) {
  EXPECT_EQ(pyexact::ratio_to_double(Natural(1), Natural(3)), 1.0 / 3.0);
  EXPECT_EQ(pyexact::ratio_to_double(Natural(1), Natural(1) << 1074), 5e-324);
  EXPECT_EQ(pyexact::ratio_to_double(Natural(1), Natural(1) << 1075), 0.0);       // a tie goes to even zero
  EXPECT_EQ(pyexact::ratio_to_double(Natural(3), Natural(1) << 1075), 1e-323);    // 1.5 ulp rounds to 2 ulp
  EXPECT_EQ(pyexact::ratio_to_double(Natural(1) << 1024, Natural(1)), INFINITY);
  // 2^53 + 1 is halfway between two doubles: ties to the even one.
  EXPECT_EQ(pyexact::ratio_to_double((Natural(1) << 53) + Natural(1), Natural(1)), 9007199254740992.0);
}
