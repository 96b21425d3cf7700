// The files a workspace holds as the engines read them: event files listed
// in one order on every machine, signal files in family order with absent
// ones skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "workspace/event_files.hpp"
#include "workspace/layout.hpp"
#include "workspace/signal_files.hpp"

namespace fs = std::filesystem;
namespace workspace = varnel::workspace;
namespace json = varnel::json;

class WorkspaceFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(layout_.root);
    varnel::files::make_dirs(layout_.events);
    varnel::files::make_dirs(layout_.phase2);
  }
  void TearDown() override { fs::remove_all(layout_.root); }
  void write(const fs::path& path, const std::string& text) { varnel::files::write_atomic(path, text); }

  workspace::Layout layout_{fs::temp_directory_path() / ("varnel-workspace-" + std::to_string(::getpid()))};
};

TEST_F(WorkspaceFilesTest, EventFilesAreTheJsonFilesInNameOrder) {
  for (const char* name : {"b.json", "a.json", "notes.txt", "c.json.tmp"}) write(layout_.events / name, "{}");
  EXPECT_EQ(workspace::list_event_files(layout_.events), (std::vector<std::string>{"a.json", "b.json"}));
  EXPECT_EQ(workspace::event_files_as_listed(layout_.events).size(), 2u);
  EXPECT_TRUE(workspace::list_event_files(layout_.root / "missing").empty());
}

TEST_F(WorkspaceFilesTest, SignalFilesInFamilyOrderAbsentOnesSkipped) {
  write(layout_.phase2 / "ci_signals.json", R"([{"engine_id": "ci"}])");
  write(layout_.phase2 / "git_signals.json", R"([{"engine_id": "git"}, {"engine_id": "git"}])");
  const json::Array signals = workspace::load_signal_files(layout_.phase2);
  ASSERT_EQ(signals.size(), 3u);
  EXPECT_EQ(signals[0].at("engine_id"), json::Value("git"));
  EXPECT_EQ(signals[2].at("engine_id"), json::Value("ci"));
  write(layout_.phase2 / "ci_signals.json", R"({"engine_id": "ci"})");
  EXPECT_THROW(workspace::load_signal_files(layout_.phase2), varnel::TypeMismatchError);
}
