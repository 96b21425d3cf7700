// The advisory engine driven from C++ alone, through fake ports: what a
// host without Python sees, and what the sanitizers check.
#include "advstage/advisory_engine.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/files.hpp"
#include "common/json_reader.hpp"
#include "common/json_writer.hpp"

using namespace varnel;
using json::Value;

namespace {

class FakeLanguage : public advstage::AdvisoryLanguage {
 public:
  std::vector<std::string> calls;

  std::string relative_change(const Value&, const Value&) override { return record("change", "UP a LOT"); }
  std::optional<std::string> metric_insight(const Value&, std::string_view) override {
    record("insight", "");
    return std::nullopt;
  }
  std::string risk_text(const Value&, std::string_view field) override { return record("risk", std::string(field)); }
  std::string friendly_pattern(const Value&) override { return record("pattern", "P"); }
  std::optional<std::string> pattern_severity(const Value&) override {
    record("severity", "");
    return "watch";
  }
  Value advisory_status(const Value& advisory) override {
    record("status", "");
    EXPECT_FALSE(advisory.as_object().contains("status"));
    return Value("review");
  }

 private:
  std::string record(const char* name, std::string answer) {
    calls.emplace_back(name);
    return answer;
  }
};

class FakeAccepted : public advstage::AcceptedDeviations {
 public:
  std::string accepted_metric;
  int cleanups = 0;
  json::Array seen_commits;

  void cleanup_expired() override { ++cleanups; }
  std::vector<bool> accepted(const json::Array& changes, const json::Array& commit_list) override {
    seen_commits = commit_list;
    std::vector<bool> out;
    for (const Value& c : changes) out.push_back(c.at("metric") == Value(accepted_metric));
    return out;
  }
};

class FakeHistory : public advstage::AdvisoryHistory {
 public:
  Value diff_advisories(const Value& before, const Value&) override {
    return json::parse(before.at("changes").as_array().empty()
                           ? R"({"resolved": [], "persisting": [], "new": [], "regressions": []})"
                           : R"({"resolved": [{"family": "ci", "metric": "run_duration"}], "persisting": [],
                                 "new": [],
                                 "regressions": [{"family": "git", "metric": "x", "deviation_stddev": 3}]})");
  }
};

class AdvisoryEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("advstage-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir_);
    files::make_dirs(dir_ / "events");
    files::make_dirs(dir_ / "phase2");
    write("events/g1.json", R"({"event_id": "g1", "source_type": "git", "observed_at": "2026-01-02T00:00:00Z",
        "payload": {"commit_hash": "c1", "message": "Big change\nbody", "files": ["a", "b"],
                    "committed_at": "2026-01-01T00:00:00Z"}})");
    write("events/ci1.json", R"({"event_id": "ci1", "source_type": "github_actions", "source_family": "ci",
        "observed_at": "2026-01-03T00:00:00Z", "payload": {"trigger": null, "timing": {"created_at": null}}})");
    write("phase2/git_signals.json", R"([
        {"engine_id": "git", "metric": "files_touched", "observed": 40, "event_ref": "g1",
         "baseline": {"mean": 4.123456, "stddev": 2.0, "median": 4, "mad": 1.0},
         "deviation": {"measure": 6.125, "unit": "modified_zscore", "degenerate": false}}])");
    write("phase2/ci_signals.json", R"([
        {"engine_id": "ci", "metric": "run_duration", "observed": 300.5, "event_ref": "ci1",
         "baseline": {"mean": 100.0, "stddev": 10.0, "median": null, "mad": null},
         "deviation": {"measure": -2.675, "degenerate": false}},
        {"engine_id": "ci", "metric": "run_duration", "observed": 90, "event_ref": "ci1",
         "baseline": {"mean": 100.0, "stddev": 10.0}, "deviation": {"measure": 0.2, "degenerate": false}}])");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void write(const std::string& name, std::string_view text) { files::write_atomic(dir_ / name, text); }
  Value read(const std::string& name) { return json::read_file(dir_ / "phase5" / name); }

  std::filesystem::path dir_;
  FakeLanguage language_;
  FakeAccepted accepted_;
  FakeHistory history_;
  advstage::Outside outside_{language_, accepted_, history_};
};

}  // namespace

TEST_F(AdvisoryEngineTest, RunWritesEveryFileAndReturnsTheTexts) {
  const advstage::AdvisoryEngine engine(dir_, 1.5);
  const Value result = engine.run("repo", outside_);
  EXPECT_EQ(result.at("status"), Value("complete"));
  const Value advisory = read("advisory.json");
  EXPECT_EQ(advisory, result.at("advisory"));
  EXPECT_EQ(advisory.at("status"), Value("review"));
  const json::Array& changes = advisory.at("changes").as_array();
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].at("deviation_stddev"), Value(6.12));
  EXPECT_EQ(changes[1].at("deviation_stddev"), Value(-2.67));
  EXPECT_EQ(changes[0].at("normal").at("mean"), Value(4.1235));
  EXPECT_EQ(changes[1].at("normal").at("median"), Value(100.0));
  EXPECT_EQ(changes[1].at("normal").at("mad"), Value(0));
  EXPECT_EQ(changes[1].at("observed_at"), Value("2026-01-03T00:00:00Z"));
  EXPECT_EQ(changes[1].at("latest_deviation"), Value(-2.67));
  EXPECT_EQ(changes[0].at("trigger_files"), json::parse(R"(["a", "b"])"));
  EXPECT_EQ(advisory.at("period").at("from"), Value("2026-01-01T00:00:00Z"));
  EXPECT_EQ(read("evidence.json"), advisory.at("evidence"));
  EXPECT_EQ(files::read_text(dir_ / "phase5" / "chat.txt"), result.at("chat_format").as_string());
  EXPECT_NE(result.at("human_summary").as_string().find("   Up a lot (now 40)"), std::string::npos);
  EXPECT_EQ(accepted_.cleanups, 1);
  EXPECT_EQ(accepted_.seen_commits, json::parse(R"(["c1"])"));
}

TEST_F(AdvisoryEngineTest, EverythingAcceptedIsAllClear) {
  write("phase2/git_signals.json", "[]");
  accepted_.accepted_metric = "run_duration";
  const Value result = advstage::AdvisoryEngine(dir_, 1.5).run("repo", outside_);
  EXPECT_EQ(result.at("human_summary"), Value("All clear \u2014 1 accepted deviation(s), no new issues detected."));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "phase5" / "chat.txt"));
  EXPECT_FALSE(read("evidence.json").as_object().contains("evidence_id"));
}

TEST_F(AdvisoryEngineTest, VerifyComparesWithTheAdvisoryAsItWasBefore) {
  const advstage::AdvisoryEngine engine(dir_, 1.5);
  const std::string first = engine.run("repo", outside_).at("advisory").at("advisory_id").as_string();
  write("phase2/git_signals.json", "[]");
  const std::filesystem::path own = dir_ / "phase5" / "advisory.json";
  const Value result = engine.verify("repo", own, own.string(), outside_);
  EXPECT_EQ(result.at("verification").at("before_advisory_id"), Value(first));
  EXPECT_NE(result.at("verification").at("after_advisory_id"), Value(first));
  const std::string text = files::read_text(dir_ / "phase5" / "verification.txt");
  EXPECT_NE(text.find("\n1 of 2 flagged changes resolved.\n"), std::string::npos);
  EXPECT_NE(text.find("\nREGRESSIONS:\n  \U0001f534 Version Control / x \u2014 description (was normal before)\n"),
            std::string::npos);
}
