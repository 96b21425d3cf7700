// The signal engine's robust deviation: modified z-score, IQR fallback,
// degenerate baselines, and the kinds of the medians it reports.
#include "sigstage/robust_stats.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "num_lists.hpp"

namespace sig = varnel::sig;
using sig::Num;

using varnel::testing::ints;

TEST(RobustDeviation, DocumentedCases) {
  sig::StatsScratch scratch;
  sig::Deviation d = sig::compute_robust_deviation(20, ints({10, 12, 11, 13, 12}), scratch);
  EXPECT_EQ(*d.measure, 5.396);
  EXPECT_EQ(d.unit, "modified_zscore");
  EXPECT_EQ(d.mad.int_value(), 1);
  d = sig::compute_robust_deviation(9, ints({5, 5, 5, 6, 9}), scratch);
  EXPECT_EQ(*d.measure, 5.4);
  EXPECT_EQ(d.unit, "iqr_normalized");
  d = sig::compute_robust_deviation(8, ints({7, 7, 7, 7}), scratch);
  EXPECT_FALSE(d.measure.has_value());
  EXPECT_TRUE(d.degenerate);
  EXPECT_FALSE(d.median.is_int());  // an even count's median is a real
}

TEST(RobustDeviation, StableOrderDecidesTheKindOfAnEqualMedian) {
  sig::StatsScratch scratch;
  const std::vector<Num> values{Num::real(3.0), Num::integer(3), Num::integer(1)};
  EXPECT_FALSE(sig::median(values, scratch).is_int());
  const std::vector<Num> swapped{Num::integer(3), Num::real(3.0), Num::integer(1)};
  EXPECT_TRUE(sig::median(swapped, scratch).is_int());
}
