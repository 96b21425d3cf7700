// The pattern engine's core alone, without a Python host: the seconds of
// each step of a run on a workspace (reading the signals, the explanations
// and the events, co-occurrence and presence discovery), then of a whole
// run on a fresh knowledge base, whose remainder is the knowledge-base work.
// Prints one JSON object.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "lorekeep/sqlite_knowledge_store.hpp"
#include "patstage/pattern_engine.hpp"

namespace ps = varnel::patstage;

namespace {

struct QuietLog final : ps::Logger {
  bool enabled(ps::LogLevel) override { return false; }
  void write(ps::LogLevel, std::string_view, std::span<const ps::LogArg>) override {}
};
struct OpenGate final : ps::TextGate {
  bool accepts(std::string_view) override { return true; }
};
struct NoClients final : ps::ModelClients {
  bool available(ps::ClientKind) override { return false; }
  std::shared_ptr<ps::LanguageModel> make(ps::ClientKind, std::string_view) override { return nullptr; }
};

template <class Work>
double seconds(Work work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s WORKSPACE\n", argv[0]);
    return 2;
  }
  const std::filesystem::path workspace = argv[1];
  std::filesystem::remove_all(workspace / "phase4");
  QuietLog log;
  OpenGate gate;
  NoClients clients;
  std::unique_ptr<varnel::lorekeep::SQLiteKnowledgeStore> store;
  const ps::StoreOpener open = [&](const std::filesystem::path& path) -> varnel::lorekeep::KnowledgeStoreBase& {
    store = std::make_unique<varnel::lorekeep::SQLiteKnowledgeStore>(path);
    return *store;
  };

  ps::PatternEngine steps(workspace, {}, open, {log, gate, clients});
  ps::SignalSet signals;
  std::size_t cooccurring = 0;
  std::size_t present = 0;
  const double t_signals = seconds([&] { signals = steps.load_signals(); });
  const double t_explanations = seconds([&] { steps.load_explanations(); });
  const double t_events = seconds([&] { steps.build_commit_index(); });
  const double t_cooccurrence = seconds([&] { cooccurring = steps.discover_cooccurrences(signals).size(); });
  const double t_presence = seconds([&] { present = steps.discover_presence_patterns(signals).size(); });

  std::filesystem::remove_all(workspace / "phase4");
  ps::PatternEngine engine(workspace, {}, open, {log, gate, clients});
  varnel::json::Value result;
  const double t_run = seconds([&] { result = engine.run(); });
  const double t_knowledge = t_run - t_signals - t_explanations - t_events - t_cooccurrence - t_presence;
  std::printf(
      "{\"signals\": %zu, \"candidates\": %zu, \"discovered\": %lld, \"load_signals\": %.6f, "
      "\"load_explanations\": %.6f, \"read_events\": %.6f, \"cooccurrence\": %.6f, \"presence\": %.6f, "
      "\"knowledge_base\": %.6f, \"run\": %.6f}\n",
      signals.size(), cooccurring + present,
      static_cast<long long>(result.at("patterns_discovered").as_int()), t_signals, t_explanations, t_events,
      t_cooccurrence, t_presence, t_knowledge, t_run);
  return 0;
}
