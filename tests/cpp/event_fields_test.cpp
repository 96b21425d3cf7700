// What an event says about itself: its real time and its commit, by type.
#include "workspace/event_fields.hpp"

#include <gtest/gtest.h>

#include "common/errors.hpp"
#include "common/json_reader.hpp"

namespace workspace = varnel::workspace;
namespace json = varnel::json;

TEST(EventFields, TimeAndCommitByType) {
  const json::Value event = json::parse(
      R"({"source_type": "github_releases", "observed_at": "o", "payload": {"timing": {"initiated_at": "t"}}})");
  EXPECT_EQ(workspace::event_time(event), json::Value("t"));
  EXPECT_EQ(workspace::event_time(json::parse(R"({"source_type": "git", "payload": {"committed_at": ""}})")),
            json::Value(""));
  EXPECT_THROW(workspace::event_time(json::parse("[]")), varnel::TypeMismatchError);
  const json::Value ci = json::parse(R"({"source_type": "ci", "payload": {"trigger": {"commit_sha": "s"}}})");
  EXPECT_EQ(workspace::event_commit(ci), "s");
}
