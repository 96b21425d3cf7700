#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sigstage/exact_moments.hpp"
#include "sigstage/git_metrics.hpp"
#include "sigstage/natural.hpp"
#include "sigstage/robust_stats.hpp"

using namespace varnel;
using exact::Natural;
using sig::Num;

namespace {
std::vector<Num> ints(std::initializer_list<long> v) {
  std::vector<Num> out;
  for (long x : v) out.push_back(Num::integer(x));
  return out;
}
}  // namespace

TEST(Natural, DivisionAndRoots) {
  const Natural big = (Natural(0xFFFFFFFFFFFFFFFFull) * Natural(0xFFFFFFFFFFFFFFFFull)) << 100;
  Natural q;
  Natural r;
  divmod(big + Natural(12345), Natural(0xFFFFFFFFFFFFFFFFull) << 100, q, r);
  EXPECT_EQ(q, Natural(0xFFFFFFFFFFFFFFFFull));
  EXPECT_EQ(r, Natural(12345));
  EXPECT_EQ(exact::isqrt(Natural(99)), Natural(9));
  EXPECT_EQ(exact::isqrt(Natural(100)), Natural(10));
  const Natural root = Natural(0x123456789ABCDEFull) << 300;
  EXPECT_EQ(exact::isqrt(root * root), root);
  EXPECT_EQ(exact::isqrt(root * root - Natural(1)), root - Natural(1));
}

TEST(Natural, RatioRoundsOnceToNearestEven) {
  EXPECT_EQ(exact::ratio_to_double(Natural(1), Natural(3)), 1.0 / 3.0);
  EXPECT_EQ(exact::ratio_to_double(Natural(1), Natural(1) << 1074), 5e-324);
  EXPECT_EQ(exact::ratio_to_double(Natural(1), Natural(1) << 1075), 0.0);       // a tie goes to even zero
  EXPECT_EQ(exact::ratio_to_double(Natural(3), Natural(1) << 1075), 1e-323);    // 1.5 ulp rounds to 2 ulp
  EXPECT_EQ(exact::ratio_to_double(Natural(1) << 1024, Natural(1)), INFINITY);
  // 2^53 + 1 is halfway between two doubles: ties to the even one.
  EXPECT_EQ(exact::ratio_to_double((Natural(1) << 53) + Natural(1), Natural(1)), 9007199254740992.0);
}

TEST(ExactMoments, KindsAndRounding) {
  sig::Moments m = sig::exact_moments(ints({2, 4, 6}));
  EXPECT_TRUE(m.mean.is_int());
  EXPECT_EQ(m.mean.int_value(), 4);
  EXPECT_EQ(m.stddev, std::sqrt(8.0 / 3.0));
  m = sig::exact_moments(ints({1, 2}));
  EXPECT_FALSE(m.mean.is_int());
  EXPECT_EQ(m.mean.real_value(), 1.5);
  // Naive double sums lose the 1 entirely.
  const std::vector<Num> wide{Num::real(1e300), Num::integer(1), Num::real(-1e300)};
  EXPECT_EQ(sig::exact_moments(wide).mean.real_value(), 1.0 / 3.0);
}

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

TEST(GitMetrics, BucketsAndDispersion) {
  EXPECT_EQ(sig::top_level("src/a.py"), "src");
  EXPECT_EQ(sig::top_level("README.md"), "README.md");
  EXPECT_EQ(sig::top_level("/abs/x"), "/");
  EXPECT_EQ(sig::top_level("//net/x"), "//");
  EXPECT_EQ(sig::top_level("./a//b"), "a");
  EXPECT_EQ(sig::top_level("."), "_root");
  EXPECT_EQ(sig::top_level(""), "_root");
  EXPECT_EQ(sig::dispersion({"README.md", "docs/x.md", "src/a.py", "src/b.py"}), 1.5);
}

TEST(GitMetrics, WindowCountsFilesAndPairs) {
  sig::GitWindow window(2);
  const std::vector<std::string> ab{"a", "b"};
  sig::Metrics first = window.measure(ab);
  EXPECT_EQ(first.items.size(), 4u);
  EXPECT_EQ(first.items[3].value.number.real_value(), 1.0);  // nothing seen yet
  window.remember();
  sig::Metrics again = window.measure(ab);
  EXPECT_EQ(again.items[2].value.number.real_value(), 1.0);  // every file seen
  EXPECT_EQ(again.items[3].value.number.real_value(), 0.0);  // the pair too
  window.remember();
  window.measure({"c"});
  window.remember();
  window.measure({"d"});
  window.remember();  // both a/b commits have left the window
  EXPECT_EQ(window.measure(ab).items[3].value.number.real_value(), 1.0);
}
