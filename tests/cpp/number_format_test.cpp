#include "common/number_format.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "common/errors.hpp"

using namespace varnel;
using json::Value;

TEST(NumberFormat, ReprOfReals) {
  EXPECT_EQ(numfmt::repr_real(5.0), "5.0");
  EXPECT_EQ(numfmt::repr_real(0.6745), "0.6745");
  EXPECT_EQ(numfmt::repr_real(1e-7), "1e-07");
  EXPECT_EQ(numfmt::repr_real(1.5e16), "1.5e+16");
  EXPECT_EQ(numfmt::repr_real(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(numfmt::repr_real(1e300), "1e+300");
  EXPECT_EQ(numfmt::repr_real(-NAN), "nan");
}

TEST(NumberFormat, RoundsHalfToEvenOnTheExactValue) {
  EXPECT_EQ(numfmt::round_half_even(2.675, 2), 2.67);  // stored just below the midpoint
  EXPECT_EQ(numfmt::round_half_even(0.125, 2), 0.12);  // an exact tie
  EXPECT_EQ(numfmt::round_half_even(0.375, 2), 0.38);
  EXPECT_EQ(numfmt::round_half_even(0.1234565, 6), 0.123456);
  EXPECT_EQ(numfmt::round_value(Value(5), 2), Value(5));
  EXPECT_TRUE(numfmt::round_value(Value(2.0), 6).is_real());
  EXPECT_THROW(numfmt::round_value(Value("x"), 2), TypeMismatchError);
}

TEST(NumberFormat, TextForms) {
  EXPECT_EQ(numfmt::format_number(Value(2.5), ".0f"), "2");
  EXPECT_EQ(numfmt::format_number(Value(3.5), ".0f"), "4");
  EXPECT_EQ(numfmt::format_number(Value(12.345), ".1f"), "12.3");
  EXPECT_EQ(numfmt::format_number(Value(0.05), ".2%"), "5.00%");
  EXPECT_EQ(numfmt::format_number(Value(1), ".2%"), "100.00%");
  EXPECT_EQ(numfmt::format_number(Value(0.123), ".1%"), "12.3%");
  EXPECT_EQ(numfmt::format_number(Value(118.0), ".4g"), "118");
  EXPECT_EQ(numfmt::format_number(Value(12345), "%.4g"), "1.234e+04");
  EXPECT_EQ(numfmt::format_number(Value(0.000012345), ".4g"), "1.234e-05");
  EXPECT_EQ(numfmt::format_number(Value(true), ".1f"), "1.0");
  EXPECT_EQ(numfmt::format_number(Value(INFINITY), ".2%"), "inf%");
  EXPECT_THROW(numfmt::format_number(Value("12"), ".2f"), TypeMismatchError);
  EXPECT_THROW(numfmt::format_number(Value(1), ".2q"), InvalidValueError);
}

TEST(NumberFormat, PlainForm) {
  EXPECT_EQ(numfmt::plain(Value(12)), "12");
  EXPECT_EQ(numfmt::plain(Value(12.0)), "12.0");
  EXPECT_EQ(numfmt::plain(Value(true)), "True");
  EXPECT_EQ(numfmt::plain(Value()), "None");
  EXPECT_EQ(numfmt::plain(Value("it's")), "it's");
  json::Object o;
  o.append("k", Value(json::Array{Value("it's"), Value(1.5)}));
  EXPECT_EQ(numfmt::plain(Value(o)), "{'k': [\"it's\", 1.5]}");
}
