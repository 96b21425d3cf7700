// A pattern's identity, which the advisory engine's core also computes:
// the moving signals' components and their fingerprint.
#include "patstage/fingerprint.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "common/json_reader.hpp"

namespace ps = varnel::patstage;
namespace json = varnel::json;

TEST(PatternIdentity, CallableFromAnotherEngine) {
  const json::Value signals = json::parse(R"([
    {"engine_id": "git", "metric": "files_touched", "deviation": {"measure": 2.0, "unit": "modified_zscore"}},
    {"engine_id": "ci", "metric": "run_duration", "deviation": {"measure": 1.2}},
    {"engine_id": "ci", "metric": "queue", "deviation": {"measure": 9.0, "degenerate": true}}])");
  const std::vector<ps::Component> components = ps::signals_to_components(signals.as_array(), 1.0);
  ASSERT_EQ(components.size(), 2u);
  EXPECT_EQ(ps::compute_fingerprint(components), "fff7fdc968c86d3c");
}
