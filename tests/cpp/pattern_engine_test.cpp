// The pattern engine's core without Python: a run driven through the ports
// with the SQLite store.
#include "patstage/pattern_engine.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/files.hpp"
#include "common/json_reader.hpp"
#include "lorekeep/sqlite_knowledge_store.hpp"

namespace fs = std::filesystem;
namespace ps = varnel::patstage;
namespace json = varnel::json;

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
