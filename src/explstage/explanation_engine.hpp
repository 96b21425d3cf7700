// The explanation engine: reads every signal of a workspace and writes one
// explanation record per signal to phase3/explanations.json. Each record is
// a rendering of its signal (the summary sentence), a copy of the signal's
// measurement, the time it was built and a content identifier.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "common/json_value.hpp"
#include "vocab/plain_language.hpp"
#include "workspace/layout.hpp"

namespace varnel::explstage {

class ExplanationEngine {
 public:
  // Sets the workspace paths and creates the output directory with any
  // missing parents; an existing directory is fine.
  explicit ExplanationEngine(std::filesystem::path varnel_dir);

  const std::filesystem::path& varnel_dir() const { return layout_.root; }
  const std::filesystem::path& phase2_path() const { return layout_.phase2; }
  const std::filesystem::path& output_path() const { return layout_.phase3; }

  // Every signal record of the workspace as parsed: signal files in family
  // table order (absent files skipped), records in file order.
  json::Array load_signals() const;

  // Builds one explanation per signal, writes them all to explanations.json
  // in one atomic replacement, and returns them. Without any signal it
  // throws NotFoundError; on any failure nothing is written.
  json::Array run(vocab::PlainLanguage& helper) const;

  // As run, for a helper whose answers depend on its arguments alone: asks
  // it once per distinct question and holds no records; returns how many
  // signals it explained.
  std::size_t write(vocab::PlainLanguage& helper) const;

 private:
  // Writes the explanations, handing each record to `keep` when given.
  std::size_t explain_all(vocab::PlainLanguage& helper, const std::function<void(json::Value&&)>& keep) const;

  workspace::Layout layout_;
};

// The explanation record of one signal, its values moved out of `signal`.
json::Value explain(json::Value&& signal, vocab::PlainLanguage& helper);

// The 64-digit content identifier of a record (SHA-256 of its canonical form).
std::string explanation_hash(const json::Value& data);

// The message of the failure when a workspace holds no signal at all.
inline constexpr std::string_view kNoSignalsMessage =
    "No Phase 2 signals found. Ensure Phase 2 has been run for at least one source family.";

}  // namespace varnel::explstage
