// The pattern engine (Phase 4): learns which metrics of different families
// move together from a workspace's signals and keeps what it learns in the
// knowledge base. A run fingerprints the batch of moving signals, recognises
// or counts a known fingerprint, and otherwise discovers candidates, stores
// them (with a model's description when the interpretation layer is on),
// promotes what recurs, expires what stopped, and writes phase4_summary.json.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/json_value.hpp"
#include "lorekeep/knowledge_store_base.hpp"
#include "patstage/event_index.hpp"
#include "patstage/interpretation.hpp"
#include "patstage/language_model.hpp"
#include "patstage/logger.hpp"
#include "patstage/params.hpp"
#include "patstage/signal_set.hpp"
#include "patstage/text_gate.hpp"
#include "workspace/layout.hpp"

namespace varnel::patstage {

// The outside services an engine calls; they outlive it.
struct EnginePorts {
  Logger& log;
  TextGate& gate;
  ModelClients& clients;
};

// Opens the knowledge base at the given path; the store outlives the engine.
using StoreOpener = std::function<lorekeep::KnowledgeStoreBase&(const std::filesystem::path&)>;

class PatternEngine {
 public:
  // Checks the parameters (defaults overlaid by `params`), creates the
  // output directory, opens the knowledge base there and reads the
  // interpretation switches from the environment: PHASE4B_ENABLED (or,
  // when unset, PHASE31_ENABLED) equal to "true" in any case turns the
  // layer on; PHASE4B_MODEL names the model.
  PatternEngine(std::filesystem::path varnel_dir, const json::Object& params, const StoreOpener& open_store,
                EnginePorts ports);

  const std::filesystem::path& varnel_dir() const { return layout_.root; }
  const std::filesystem::path& phase2_path() const { return layout_.phase2; }
  const std::filesystem::path& phase3_path() const { return layout_.phase3; }
  const std::filesystem::path& output_path() const { return layout_.phase4; }
  const Params& params() const { return params_; }
  lorekeep::KnowledgeStoreBase& kb() { return kb_; }

  bool llm_enabled() const { return llm_enabled_; }
  void set_llm_enabled(bool on) { llm_enabled_ = on; }
  const std::string& llm_model() const { return llm_model_; }
  void set_llm_model(std::string model) { llm_model_ = std::move(model); }
  const std::shared_ptr<LanguageModel>& llm() const { return llm_; }
  void set_llm(std::shared_ptr<LanguageModel> llm) { llm_ = std::move(llm); }

  // Every signal record of the workspace as parsed, in signal-file order.
  json::Array load_all_signals() const;
  // The same signals, compact.
  SignalSet load_signals() const;
  // Each signal reference's last explanation record.
  json::Object load_explanation_records() const;
  // Each signal reference's last explanation sentence. With `keep` false
  // the file is only checked: a run that cannot interpret needs none of
  // them, but still fails on a damaged file.
  Explanations load_explanations(bool keep = true) const;

  // The event indexes, read from the events directory on first use and
  // kept for the engine's life.
  const OrderedIndex& build_commit_index();
  const OrderedIndex& build_temporal_index();
  // Whether the commit or temporal index has been asked for yet.
  bool has_commit_index() const { return commit_index_built_; }
  bool has_temporal_index() const { return temporal_index_built_; }

  // The candidates; with `evidence`, each candidate's event references too.
  json::Array discover_cooccurrences(const SignalSet& signals,
                                     std::vector<std::vector<std::uint32_t>>* evidence = nullptr);
  json::Array discover_presence_patterns(const SignalSet& signals,
                                         std::vector<std::vector<std::uint32_t>>* evidence = nullptr);
  json::Value lookup_fingerprint(std::string_view fingerprint);

  // The interpretation client: the one already made, or (when the layer is
  // on) a new Anthropic client when ANTHROPIC_API_KEY is set, else an
  // OpenRouter client; a failed OpenRouter client turns the layer off.
  std::shared_ptr<LanguageModel> get_llm();
  std::optional<std::string> interpret_pattern(const json::Object& pattern, const Explanations& explanations);

  bool check_promotion(const json::Object& pattern);
  std::string promote_pattern(const json::Object& pattern);
  json::Array run_decay();

  // The whole of Phase 4; returns the result record (or the no-signals
  // record, without touching anything, when there is no signal). An
  // occurrence of a stored pattern counts only when it rests on an event no
  // earlier run has seen (every one, on a store that keeps no such record),
  // so running again over the same history changes no count.
  json::Value run();

 private:
  const EventIndexes& event_indexes();

  workspace::Layout layout_;
  Params params_;
  lorekeep::KnowledgeStoreBase& kb_;
  EnginePorts ports_;
  std::shared_ptr<LanguageModel> llm_;
  bool llm_enabled_;
  std::string llm_model_;
  std::optional<EventIndexes> events_;
  bool commit_index_built_ = false;
  bool temporal_index_built_ = false;
};

}  // namespace varnel::patstage
