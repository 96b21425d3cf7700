// The git family's metrics: top-level buckets, dispersion, and the window
// of recent commits that locality and novelty are measured against.
#include "sigstage/git_metrics.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sig = varnel::sig;

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
