#include "common/json_logic.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "common/errors.hpp"

using namespace varnel;
using json::Value;

TEST(JsonLogic, TruthValuesFollowTheHost) {
  EXPECT_FALSE(json::truthy(Value()));
  EXPECT_FALSE(json::truthy(Value(false)));
  EXPECT_FALSE(json::truthy(Value(0)));
  EXPECT_FALSE(json::truthy(Value(-0.0)));
  EXPECT_FALSE(json::truthy(Value("")));
  EXPECT_FALSE(json::truthy(Value(json::Array{})));
  EXPECT_FALSE(json::truthy(Value(json::Object{})));
  EXPECT_TRUE(json::truthy(Value(NAN)));
  EXPECT_TRUE(json::truthy(Value(json::BigInt{"-99999999999999999999"})));
  EXPECT_TRUE(json::truthy(Value("false")));
  EXPECT_TRUE(json::truthy(Value(json::Array{Value()})));
}

TEST(JsonLogic, ComparesIntegersAndRealsExactly) {
  const Value big_int(static_cast<std::int64_t>((1LL << 53) + 1));
  const Value big_real(9007199254740992.0);  // 2**53: the integer above rounds to it as a double
  EXPECT_EQ(json::compare_numbers(big_int, big_real, ">"), std::partial_ordering::greater);
  EXPECT_EQ(json::compare_numbers(big_real, big_int, "<"), std::partial_ordering::less);
  EXPECT_EQ(json::compare_numbers(Value(5), Value(5.0), ">="), std::partial_ordering::equivalent);
  EXPECT_EQ(json::compare_numbers(Value(-1), Value(-0.5), "<"), std::partial_ordering::less);
  EXPECT_EQ(json::compare_numbers(Value(0), Value(-0.0), "=="), std::partial_ordering::equivalent);
  EXPECT_EQ(json::compare_numbers(Value(true), Value(0.5), ">"), std::partial_ordering::greater);
  EXPECT_EQ(json::compare_numbers(Value(3), Value(INFINITY), "<"), std::partial_ordering::less);
  EXPECT_EQ(json::compare_numbers(Value(NAN), Value(0), ">"), std::partial_ordering::unordered);
  EXPECT_EQ(json::compare_numbers(Value(1e300), Value(1), ">"), std::partial_ordering::greater);
}

TEST(JsonLogic, ComparesIntegersBeyondSixtyFourBits) {
  const Value huge(json::BigInt{"100000000000000000000"});      // 10**20
  const Value minus_huge(json::BigInt{"-100000000000000000000"});
  EXPECT_EQ(json::compare_numbers(huge, Value(1e20), "=="), std::partial_ordering::equivalent);
  EXPECT_EQ(json::compare_numbers(huge, Value(1.5e20), "<"), std::partial_ordering::less);
  EXPECT_EQ(json::compare_numbers(huge, Value(3), ">"), std::partial_ordering::greater);
  EXPECT_EQ(json::compare_numbers(minus_huge, Value(-3.5), "<"), std::partial_ordering::less);
  EXPECT_EQ(json::compare_numbers(minus_huge, huge, "<"), std::partial_ordering::less);
  EXPECT_EQ(json::compare_numbers(Value(json::BigInt{"-200000000000000000000"}), minus_huge, "<"),
            std::partial_ordering::less);
  EXPECT_EQ(json::compare_numbers(Value(-INFINITY), minus_huge, "<"), std::partial_ordering::less);
}

TEST(JsonLogic, RefusesToCompareOtherKinds) {
  try {
    json::compare_numbers(Value("7"), Value(0), ">");
    FAIL() << "expected a type error";
  } catch (const TypeMismatchError& e) {
    EXPECT_STREQ(e.what(), "'>' not supported between instances of 'str' and 'int'");
  }
  EXPECT_THROW(json::compare_numbers(Value(1), Value(), ">="), TypeMismatchError);
}

TEST(JsonLogic, EqualsZeroOnlyForNumbers) {
  EXPECT_TRUE(json::equals_zero(Value(0)));
  EXPECT_TRUE(json::equals_zero(Value(-0.0)));
  EXPECT_TRUE(json::equals_zero(Value(false)));
  EXPECT_FALSE(json::equals_zero(Value(1e-300)));
  EXPECT_FALSE(json::equals_zero(Value(NAN)));
  EXPECT_FALSE(json::equals_zero(Value("0")));
  EXPECT_FALSE(json::equals_zero(Value()));
}
