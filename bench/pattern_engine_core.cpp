// The pattern engine's core alone, without a Python host, on a workspace:
// the seconds of each step of a run with the interpretation layer off
// (reading the signals, checking the explanations, reading the events,
// co-occurrence and presence discovery), then of whole runs on a fresh
// knowledge base each, with the time spent inside the knowledge base's
// operations. Each figure is the best of `repeat` tries. Prints one JSON
// object.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>

#include "lorekeep/knowledge_store_base.hpp"
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

// The SQLite store, adding up the time its operations take.
class TimedStore final : public varnel::lorekeep::KnowledgeStoreBase {
 public:
  explicit TimedStore(const std::filesystem::path& path) : store_(path) {}
  ~TimedStore() override { store_.close(); }
  double seconds = 0;

  // Runs `work` (which returns a value), adding its time to `seconds`.
  template <class Work>
  auto timed(Work work) {
    const auto start = std::chrono::steady_clock::now();
    auto result = work();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
  }

  std::string create_pattern(const varnel::json::Object& p) override {
    return timed([&] { return store_.create_pattern(p); });
  }
  varnel::json::Value get_pattern(std::string_view id) override {
    return timed([&] { return store_.get_pattern(id); });
  }
  varnel::json::Value get_pattern_by_fingerprint(std::string_view fp, std::optional<std::string_view> scope) override {
    return timed([&] { return store_.get_pattern_by_fingerprint(fp, scope); });
  }
  void update_pattern(std::string_view id, const varnel::json::Object& u) override {
    timed([&] { store_.update_pattern(id, u); return 0; });
  }
  void increment_pattern(std::string_view id, const varnel::json::Array& refs, std::string_view at) override {
    timed([&] { store_.increment_pattern(id, refs, at); return 0; });
  }
  varnel::json::Value list_patterns(std::optional<std::string_view> scope, std::optional<std::string_view> tier,
                                    std::optional<std::int64_t> min) override {
    return timed([&] { return store_.list_patterns(scope, tier, min); });
  }
  std::string create_knowledge(const varnel::json::Object& k) override {
    return timed([&] { return store_.create_knowledge(k); });
  }
  varnel::json::Value get_knowledge(std::string_view id) override {
    return timed([&] { return store_.get_knowledge(id); });
  }
  varnel::json::Value get_knowledge_by_fingerprint(std::string_view fp, std::string_view scope) override {
    return timed([&] { return store_.get_knowledge_by_fingerprint(fp, scope); });
  }
  varnel::json::Value list_knowledge(std::optional<std::string_view> scope) override {
    return timed([&] { return store_.list_knowledge(scope); });
  }
  varnel::json::Value get_pattern_signals(std::string_view id) override {
    return timed([&] { return store_.get_pattern_signals(id); });
  }
  varnel::json::Value get_pattern_history(std::string_view id) override {
    return timed([&] { return store_.get_pattern_history(id); });
  }
  varnel::json::Value get_decayed_patterns(std::int64_t days) override {
    return timed([&] { return store_.get_decayed_patterns(days); });
  }
  void expire_pattern(std::string_view id) override { timed([&] { store_.expire_pattern(id); return 0; }); }

 private:
  varnel::lorekeep::SQLiteKnowledgeStore store_;
};

// The best time of `repeat` calls of `work`.
template <class Work>
double best(int repeat, Work work) {
  double fastest = std::numeric_limits<double>::infinity();
  for (int i = 0; i < repeat; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    fastest = std::min(fastest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return fastest;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s WORKSPACE [repeat]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path workspace = argv[1];
  const int repeat = argc > 2 ? std::stoi(argv[2]) : 3;
  QuietLog log;
  OpenGate gate;
  NoClients clients;
  std::unique_ptr<TimedStore> store;
  const ps::StoreOpener open = [&](const std::filesystem::path& path) -> varnel::lorekeep::KnowledgeStoreBase& {
    store = std::make_unique<TimedStore>(path);
    return *store;
  };
  auto fresh_engine = [&] {
    store.reset();
    std::filesystem::remove_all(workspace / "phase4");
    return std::make_unique<ps::PatternEngine>(workspace, varnel::json::Object(), open,
                                               ps::EnginePorts{log, gate, clients});
  };

  std::unique_ptr<ps::PatternEngine> engine = fresh_engine();
  ps::SignalSet signals;
  std::size_t candidates = 0;
  const double t_signals = best(repeat, [&] { signals = engine->load_signals(); });
  const double t_explanations = best(repeat, [&] { engine->load_explanations(false); });
  const double t_events = best(repeat, [&] { fresh_engine()->build_commit_index(); });
  engine = fresh_engine();
  engine->build_commit_index();
  const double t_cooccurrence = best(repeat, [&] { candidates = engine->discover_cooccurrences(signals).size(); });
  const double t_presence = best(repeat, [&] { engine->discover_presence_patterns(signals); });
  candidates += engine->discover_presence_patterns(signals).size();
  varnel::json::Value result;
  double t_run = std::numeric_limits<double>::infinity();
  double t_knowledge = std::numeric_limits<double>::infinity();
  for (int i = 0; i < repeat; ++i) {
    engine = fresh_engine();
    t_run = std::min(t_run, best(1, [&] { result = engine->run(); }));
    t_knowledge = std::min(t_knowledge, store->seconds);
  }
  engine.reset();
  store.reset();
  std::filesystem::remove_all(workspace / "phase4");
  std::printf(
      "{\"signals\": %zu, \"candidates\": %zu, \"discovered\": %lld, \"load_signals\": %.6f, "
      "\"check_explanations\": %.6f, \"read_events\": %.6f, \"cooccurrence\": %.6f, \"presence\": %.6f, "
      "\"knowledge_base\": %.6f, \"run\": %.6f}\n",
      signals.size(), candidates, static_cast<long long>(result.at("patterns_discovered").as_int()), t_signals,
      t_explanations, t_events, t_cooccurrence, t_presence, t_knowledge, t_run);
  return 0;
}
