// Treated and control commits, and the effect of presence on git metrics.
//
// Commits are numbered by CommitRanks, so every set of commits is a sorted
// vector of numbers and the group splits are linear merges.
#include "patstage/presence.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <vector>

#include "common/number_format.hpp"
#include "patstage/candidate.hpp"
#include "patstage/commit_ranks.hpp"
#include "patstage/fingerprint.hpp"
#include "patstage/statistics.hpp"

namespace varnel::patstage {

namespace {

constexpr std::size_t kMaxRefs = 20;

using Commits = std::vector<std::uint32_t>;  // ascending, distinct

void sort_unique(Commits& c) {
  std::sort(c.begin(), c.end());
  c.erase(std::unique(c.begin(), c.end()), c.end());
}

// One key's measure per commit, ascending by commit (a later signal of the
// same commit replaces the earlier one).
struct MetricValues {
  std::uint32_t family;
  std::uint32_t metric;
  std::vector<std::pair<std::uint32_t, double>> values;

  void settle() {
    std::stable_sort(values.begin(), values.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::size_t out = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i + 1 < values.size() && values[i + 1].first == values[i].first) continue;
      values[out++] = values[i];
    }
    values.resize(out);
  }

  // The measures at the given commits that have one.
  std::vector<double> at(const Commits& commits) const {
    std::vector<double> out;
    auto it = values.begin();
    for (std::uint32_t c : commits) {
      it = std::lower_bound(it, values.end(), c, [](const auto& v, std::uint32_t x) { return v.first < x; });
      if (it == values.end()) break;
      if (it->first == c) out.push_back(it->second);
    }
    return out;
  }
};

// The signals on each commit, in signal order, degenerate ones included.
std::vector<std::vector<const Signal*>> signals_by_commit(const SignalSet& signals, const CommitRanks& ranks) {
  std::vector<std::vector<const Signal*>> out(ranks.count());
  for (const Signal& s : signals.signals()) {
    if (const std::optional<std::uint32_t> c = ranks.of(s.ref)) out[*c].push_back(&s);
  }
  return out;
}

}  // namespace

json::Array discover_presence_patterns(const SignalSet& signals, const OrderedIndex& commits, const Params& params,
                                       Logger& log, std::vector<std::vector<std::uint32_t>>* evidence) {
  const CommitRanks ranks(signals, commits);
  std::vector<MetricValues> metrics;  // first-seen order of keys
  std::unordered_map<std::uint64_t, std::size_t> metric_index;
  std::vector<std::pair<std::uint32_t, Commits>> families;  // first-seen order
  std::unordered_map<std::uint32_t, std::size_t> family_index;
  for (const Signal& s : signals.signals()) {
    if (s.degenerate || s.state != MeasureState::Number) continue;
    const std::optional<std::uint32_t> commit = ranks.of(s.ref);
    if (!commit) continue;
    signals.family(s);  // both fields are required of a signal on a commit
    signals.metric(s);
    const std::uint64_t key = (static_cast<std::uint64_t>(s.family) << 32) | s.metric;
    auto [m, new_metric] = metric_index.emplace(key, metrics.size());
    if (new_metric) metrics.push_back({s.family, s.metric, {}});
    metrics[m->second].values.emplace_back(*commit, s.measure);
    auto [f, new_family] = family_index.emplace(s.family, families.size());
    if (new_family) families.push_back({s.family, {}});
    families[f->second].second.push_back(*commit);
  }
  json::Array candidates;
  const auto git = std::find_if(families.begin(), families.end(),
                                [&](const auto& f) { return signals.names().text(f.first) == "git"; });
  if (git == families.end()) return candidates;
  const std::uint32_t git_family = git->first;
  for (auto& [family, c] : families) sort_unique(c);
  for (MetricValues& m : metrics) m.settle();
  const Commits& git_commits = git->second;

  const double min_control = std::max(params.min_support, 30.0);
  std::vector<std::vector<const Signal*>> on_commit;  // made for the first candidate
  for (const auto& [family, family_commits] : families) {
    if (family == git_family) continue;
    Commits treated;
    Commits control;
    std::set_intersection(family_commits.begin(), family_commits.end(), git_commits.begin(), git_commits.end(),
                          std::back_inserter(treated));
    std::set_difference(git_commits.begin(), git_commits.end(), family_commits.begin(), family_commits.end(),
                        std::back_inserter(control));
    if (static_cast<double>(treated.size()) < params.min_support ||
        static_cast<double>(control.size()) < min_control) {
      continue;
    }
    const std::string& family_name = signals.names().text(family);
    for (const MetricValues& metric : metrics) {
      if (metric.family != git_family) continue;
      const std::vector<double> treated_vals = metric.at(treated);
      const std::vector<double> control_vals = metric.at(control);
      if (static_cast<double>(treated_vals.size()) < params.min_support ||
          static_cast<double>(control_vals.size()) < params.min_support) {
        continue;
      }
      const MeanSpread t = mean_and_pstdev(treated_vals);
      const MeanSpread c = mean_and_pstdev(control_vals);
      if (t.pstdev == 0 && c.pstdev == 0) continue;
      const auto nt = static_cast<double>(treated_vals.size());
      const auto nc = static_cast<double>(control_vals.size());
      const double pooled = std::sqrt((t.pstdev * t.pstdev * nt + c.pstdev * c.pstdev * nc) / (nt + nc));
      if (pooled == 0) continue;
      const double d = (t.mean - c.mean) / pooled;
      if (std::fabs(d) < params.min_effect_size) continue;
      const std::string_view direction = direction_name(d > 0 ? Direction::Increased : Direction::Decreased);
      const std::string& metric_name = signals.names().text(metric.metric);

      if (on_commit.empty()) on_commit = signals_by_commit(signals, ranks);
      json::Array signal_refs;
      for (std::size_t i = 0; i < treated.size() && i < kMaxRefs && signal_refs.size() < kMaxRefs; ++i) {
        for (const Signal* s : on_commit[treated[i]]) {
          if (signal_refs.size() == kMaxRefs) break;
          signal_refs.emplace_back(signals.refs().text(s->ref));
        }
      }

      CandidateFacts facts;
      facts.fingerprint = compute_fingerprint(
          {{"git", metric_name, std::string(direction)}, {family_name, "_presence", "increased"}});
      facts.alignment = "presence";
      facts.sources[0] = "git";
      facts.sources[1] = family_name;
      facts.metrics[0] = metric_name;
      facts.metrics[1] = family_name + "_presence";
      facts.description = "When " + family_name + " events occur, git." + metric_name + " is systematically " +
                          std::string(direction) + " (effect size d=" + numfmt::fixed(d, 2) +
                          ", treated=" + std::to_string(treated_vals.size()) +
                          ", control=" + std::to_string(control_vals.size()) + ").";
      const json::Value rounded(numfmt::round_half_even(d, 4));
      facts.correlation_strength = rounded;
      facts.raw_correlation = rounded;
      facts.confidence_weight = std::min(std::min(nt, nc) / params.confidence_full_at, 1.0);
      facts.measure_key = "effect_size";
      facts.measure = rounded;
      facts.accepted_via = "presence";
      facts.occurrence_count = static_cast<std::int64_t>(treated_vals.size());
      facts.signal_refs = std::move(signal_refs);
      candidates.push_back(candidate_record(std::move(facts)));
      if (evidence != nullptr) {
        // What the pattern rests on: the family's events and the git metric's on the treated commits.
        std::vector<std::uint32_t>& seen = evidence->emplace_back();
        for (std::uint32_t c : treated) {
          for (const Signal* s : on_commit[c]) {
            if (s->family == family || (s->family == git_family && s->metric == metric.metric)) {
              seen.push_back(s->ref);
            }
          }
        }
      }
    }
  }
  if (!candidates.empty()) {
    const LogArg args[] = {static_cast<std::int64_t>(candidates.size())};
    log.write(LogLevel::Info, "Presence-based discovery found %d candidate patterns", args);
  }
  return candidates;
}

}  // namespace varnel::patstage
