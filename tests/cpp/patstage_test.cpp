// The pattern engine's core without Python: what another engine's core calls
// (fingerprints, components, event times), the timestamp reader's instants,
// and a run driven through the ports with the SQLite store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/json_reader.hpp"
#include "lorekeep/sqlite_knowledge_store.hpp"
#include "patstage/event_index.hpp"
#include "patstage/fingerprint.hpp"
#include "patstage/iso_time.hpp"
#include "patstage/pattern_engine.hpp"

namespace fs = std::filesystem;
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
  const json::Value event = json::parse(
      R"({"source_type": "github_releases", "observed_at": "o", "payload": {"timing": {"initiated_at": "t"}}})");
  EXPECT_EQ(ps::extract_event_timestamp(event), json::Value("t"));
  EXPECT_EQ(ps::event_commit(json::parse(R"({"source_type": "ci", "payload": {"trigger": {"commit_sha": "s"}}})")),
            "s");
}

TEST(PatternTimes, InstantsOfEveryForm) {
  constexpr std::int64_t kDay = 86400 * 1'000'000LL;
  EXPECT_EQ(ps::parse_timestamp_us("1970-01-02"), kDay);
  EXPECT_EQ(ps::parse_timestamp_us("19700102T000000.5+00:00"), kDay + 500000);
  EXPECT_EQ(ps::parse_timestamp_us("1970-W01-5"), kDay);  // Friday of the week holding Thursday 1 January
  EXPECT_EQ(ps::parse_timestamp_us("1970-01-01T01:00:00+01:00:00.25"), -250000);
  EXPECT_EQ(ps::parse_timestamp_us("0001-01-01T00:00:00Z"), -62135596800LL * 1'000'000);
  EXPECT_EQ(ps::parse_timestamp_us("9999-12-31T23:59:59.999999Z"), 253402300799999999LL);
  EXPECT_EQ(ps::parse_timestamp_us("2024-05-01T10:00:00+24:00"), std::nullopt);
  EXPECT_EQ(ps::parse_timestamp_us("2024-02-30"), std::nullopt);
  EXPECT_EQ(ps::time_bucket("2024-05-01T10:00:00Z", 24), 19844);
  EXPECT_THROW(ps::time_bucket("2024-05-01", 0), varnel::InvalidValueError);
}

namespace {

struct Messages final : ps::Logger {
  std::vector<std::string> lines;
  bool enabled(ps::LogLevel) override { return true; }
  void write(ps::LogLevel level, std::string_view format, std::span<const ps::LogArg> args) override {
    std::string line = (level == ps::LogLevel::Info ? "info " : "debug ") + std::string(format);
    for (const ps::LogArg& a : args) line += " " + std::to_string(std::get<std::int64_t>(a));
    lines.push_back(line);
  }
};

struct Gate final : ps::TextGate {
  std::vector<std::string> asked;
  bool accepts(std::string_view text) override {
    asked.emplace_back(text);
    return true;
  }
};

struct Echo final : ps::LanguageModel {
  std::optional<std::string> generate(std::string_view) override { return "Description:\n Builds grow with commits."; }
};

struct Clients final : ps::ModelClients {
  bool available(ps::ClientKind kind) override { return kind == ps::ClientKind::OpenRouter; }
  std::shared_ptr<ps::LanguageModel> make(ps::ClientKind, std::string_view) override {
    return std::make_shared<Echo>();
  }
};

// Twenty commits, each with a git and a ci signal; both move on the first
// ten, ci in alternating directions, so the pair is found by lift.
fs::path workspace(const fs::path& root) {
  std::string git = "[";
  std::string ci = "[";
  std::string notes = "[";
  for (int i = 0; i < 20; ++i) {
    const std::string sha = std::string(39, '0') + static_cast<char>('a' + i);
    varnel::files::make_dirs(root / "events");
    varnel::files::write_atomic(root / "events" / ("g" + std::to_string(i) + ".json"),
                                R"({"event_id": "g)" + std::to_string(i) +
                                    R"(", "source_type": "git", "observed_at": "", "payload": {"commit_hash": ")" +
                                    sha + "\"}}");
    varnel::files::write_atomic(root / "events" / ("c" + std::to_string(i) + ".json"),
                                R"({"event_id": "c)" + std::to_string(i) + R"(", "source_type": "ci", )" +
                                    R"("observed_at": "", "payload": {"trigger": {"commit_sha": ")" + sha + "\"}}}");
    const char* sep = i > 0 ? ", " : "";
    git += sep + std::string(R"({"engine_id": "git", "metric": "files_touched", "event_ref": "g)") +
           std::to_string(i) + R"(", "deviation": {"measure": )" + (i < 10 ? "3.0" : "0.0") + "}}";
    ci += sep + std::string(R"({"engine_id": "ci", "metric": "run_duration", "event_ref": "c)") + std::to_string(i) +
          R"(", "deviation": {"measure": )" + (i < 10 ? (i % 2 ? "-3.0" : "3.0") : "0.0") + "}}";
    notes += sep + std::string(R"({"signal_ref": "g)") + std::to_string(i) + R"(", "summary": "Commit )" +
             std::to_string(i) + R"( was large."})";
  }
  varnel::files::make_dirs(root / "phase2");
  varnel::files::make_dirs(root / "phase3");
  varnel::files::write_atomic(root / "phase2" / "git_signals.json", git + "]");
  varnel::files::write_atomic(root / "phase2" / "ci_signals.json", ci + "]");
  varnel::files::write_atomic(root / "phase3" / "explanations.json", notes + "]");
  return root;
}

}  // namespace

TEST(PatternEngine, RunsThroughItsPortsWithTheSqliteStore) {
  const fs::path root = fs::temp_directory_path() / ("varnel-patstage-" + std::to_string(::getpid()));
  fs::remove_all(root);
  ::setenv("PHASE4B_ENABLED", "True", 1);
  Messages log;
  Gate gate;
  Clients clients;
  std::unique_ptr<varnel::lorekeep::SQLiteKnowledgeStore> store;
  const ps::StoreOpener open = [&](const fs::path& path) -> varnel::lorekeep::KnowledgeStoreBase& {
    store = std::make_unique<varnel::lorekeep::SQLiteKnowledgeStore>(path);
    return *store;
  };
  {
    ps::PatternEngine engine(workspace(root), json::Object(), open, {log, gate, clients});
    const json::Value result = engine.run();
    ASSERT_EQ(result.at("patterns_discovered"), json::Value(1));
    EXPECT_EQ(result.at("patterns_enriched"), json::Value(1));
    const json::Value& detail = result.at("details").as_array().at(0);
    EXPECT_EQ(detail.at("description_semantic"), json::Value("Builds grow with commits."));
    EXPECT_EQ(gate.asked, std::vector<std::string>{"Builds grow with commits."});
    const json::Value stored = store->get_pattern(detail.at("pattern_id").as_string());
    EXPECT_EQ(stored.at("description_semantic"), json::Value("Builds grow with commits."));
    EXPECT_EQ(json::read_file(root / "phase4" / "phase4_summary.json"), result);
  }
  EXPECT_TRUE(log.lines.empty());  // no degenerate signal, no window, no presence
  ::unsetenv("PHASE4B_ENABLED");
  store->close();
  fs::remove_all(root);
}
