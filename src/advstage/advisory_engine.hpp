// The advisory engine: turns what the earlier phases left in a workspace
// into an advisory (a JSON record, its evidence, and three texts in
// phase5/), and verifies a fix by comparing a fresh advisory with an
// earlier one.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "advstage/inputs.hpp"
#include "advstage/ports.hpp"
#include "advstage/significance.hpp"
#include "common/json_value.hpp"
#include "workspace/layout.hpp"

namespace varnel::advstage {

// The outside modules a run consults.
struct Outside {
  AdvisoryLanguage& language;
  AcceptedDeviations& accepted;
  AdvisoryHistory& history;
};

// The event ids a run speaks about; nullopt for every event.
using EventRefs = std::optional<std::unordered_set<std::string>>;

// The significance threshold of the engine's default configuration.
inline constexpr double kDefaultSignificanceThreshold = 1.5;

class AdvisoryEngine {
 public:
  // Sets the workspace paths and creates the output directory with any
  // missing parents; reads nothing.
  AdvisoryEngine(std::filesystem::path varnel_dir, double significance_threshold);

  const std::filesystem::path& varnel_dir() const { return layout_.root; }
  const std::filesystem::path& phase1_path() const { return layout_.events; }
  const std::filesystem::path& phase2_path() const { return layout_.phase2; }
  const std::filesystem::path& phase3_path() const { return layout_.phase3; }
  const std::filesystem::path& phase4_path() const { return layout_.phase4; }
  const std::filesystem::path& output_path() const { return layout_.phase5; }
  double significance_threshold() const { return significance_threshold_; }

  // The inputs, whole or (for a run) with only the fields `keep` names.
  json::Array load_signals(const json::Projection* keep = nullptr) const;
  // Explanations under every key, or only under the keys in `wanted`.
  ExplanationIndex load_explanations(const json::Projection* keep = nullptr,
                                     std::optional<std::unordered_set<std::string>> wanted = std::nullopt) const;
  EventMap load_events() const;
  json::Value load_knowledge() const;
  json::Value load_patterns(std::optional<std::string_view> scope) const;

  // The significant signals of `signals` at this engine's threshold.
  SignalRefs filter_significant(const json::Array& signals) const;

  // The explanation keys a run over `signals` looks up, or nullopt when a
  // signal keeps them from being known.
  std::optional<std::unordered_set<std::string>> wanted_explanations(const json::Array& signals) const;

  // Builds the advisory of the workspace labelled `scope`, writes its files
  // (each one atomically) when there is one, and returns the run result.
  // With `event_refs`, only the signals of those events are read, before
  // every other step.
  json::Value run(std::string_view scope, Outside& outside, const EventRefs& event_refs = std::nullopt) const;

  // Runs again and compares the new advisory with the one in the file
  // `previous` (read before the run rewrites anything, so that it may be
  // this workspace's own advisory.json); writes the verification files.
  // `shown_as` is the path as the caller gave it, for messages.
  json::Value verify(std::string_view scope, const std::filesystem::path& previous, std::string_view shown_as,
                     Outside& outside, const EventRefs& event_refs = std::nullopt) const;

 private:
  workspace::Layout layout_;
  double significance_threshold_;
};

// The 16-digit content identifier of a value.
std::string content_hash(const json::Value& data);

}  // namespace varnel::advstage
