#include "common/clock.hpp"

#include <gtest/gtest.h>

using namespace std::chrono;

TEST(Clock, FormatsUtcWithMicrosecondsOnlyWhenPresent) {
  const sys_days day = year{2026} / 3 / 9;
  EXPECT_EQ(varnel::format_utc(day + hours{4} + minutes{5} + seconds{6}), "2026-03-09T04:05:06Z");
  EXPECT_EQ(varnel::format_utc(day + microseconds{1}), "2026-03-09T00:00:00.000001Z");
  EXPECT_EQ(varnel::format_utc(sys_days{year{1969} / 12 / 31} + hours{23} + microseconds{999999} + minutes{59} +
                               seconds{59}),
            "1969-12-31T23:59:59.999999Z");
}
