// Timestamps read as a host's fromisoformat reads them, and the time
// windows they fall in.
#include "pyexact/iso_time.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "common/errors.hpp"

namespace pyexact = varnel::pyexact;

TEST(IsoTime, InstantsOfEveryForm) {
  constexpr std::int64_t kDay = 86400 * 1'000'000LL;
  EXPECT_EQ(pyexact::parse_timestamp_us("1970-01-02"), kDay);
  EXPECT_EQ(pyexact::parse_timestamp_us("19700102T000000.5+00:00"), kDay + 500000);
  EXPECT_EQ(pyexact::parse_timestamp_us("1970-W01-5"), kDay);  // Friday of the week holding Thursday 1 January
  EXPECT_EQ(pyexact::parse_timestamp_us("1970-01-01T01:00:00+01:00:00.25"), -250000);
  EXPECT_EQ(pyexact::parse_timestamp_us("0001-01-01T00:00:00Z"), -62135596800LL * 1'000'000);
  EXPECT_EQ(pyexact::parse_timestamp_us("9999-12-31T23:59:59.999999Z"), 253402300799999999LL);
  EXPECT_EQ(pyexact::parse_timestamp_us("2024-05-01T10:00:00+24:00"), std::nullopt);
  EXPECT_EQ(pyexact::parse_timestamp_us("2024-02-30"), std::nullopt);
  EXPECT_EQ(pyexact::time_bucket("2024-05-01T10:00:00Z", 24), 19844);
  EXPECT_THROW(pyexact::time_bucket("2024-05-01", 0), varnel::InvalidValueError);
}
