// Aligning metric series by commit and by time window, and judging pairs.
//
// Each metric key's observations are kept as one vector sorted by alignment
// point (a commit's rank, or a window number),
// so that the points two keys share come out of a linear merge already in
// ascending order.
#include "patstage/cooccurrence.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include "common/number_format.hpp"
#include "patstage/candidate.hpp"
#include "patstage/commit_ranks.hpp"
#include "patstage/fingerprint.hpp"
#include "patstage/statistics.hpp"
#include "pyexact/iso_time.hpp"

namespace varnel::patstage {

namespace {

struct Entry {
  std::uint32_t ref;
  Direction direction;
  double deviation;
};

// One metric key's observations, ascending by point, one per point.
template <class Point>
struct Series {
  std::uint64_t key;
  std::uint32_t family;
  std::uint32_t metric;
  std::vector<std::pair<Point, Entry>> points;
};

std::uint64_t key_of(std::uint32_t family, std::uint32_t metric) {
  return (static_cast<std::uint64_t>(family) << 32) | metric;
}

// Series in first-seen order of their keys.
template <class Point>
class SeriesMap {
 public:
  Series<Point>& at(std::uint32_t family, std::uint32_t metric) {
    const std::uint64_t key = key_of(family, metric);
    auto [it, fresh] = index_.emplace(key, series_.size());
    if (fresh) series_.push_back({key, family, metric, {}});
    return series_[it->second];
  }
  std::vector<Series<Point>>& all() { return series_; }

 private:
  std::unordered_map<std::uint64_t, std::size_t> index_;
  std::vector<Series<Point>> series_;
};

// The window of each event reference, worked out once per reference and
// only for the references asked about.
class Windows {
 public:
  Windows(const SignalSet& set, const OrderedIndex& times, double window_hours)
      : set_(set), times_(times), window_hours_(window_hours), buckets_(set.refs().size()) {}

  std::optional<std::int64_t> of(std::uint32_t ref) {
    Bucket& b = buckets_[ref];
    if (!b.known) {
      b.known = true;
      const std::string* when = times_.find(set_.refs().text(ref));
      if (when != nullptr && !when->empty()) b.value = pyexact::time_bucket(*when, window_hours_);
    }
    return b.value;
  }

 private:
  struct Bucket {
    bool known = false;
    std::optional<std::int64_t> value;
  };
  const SignalSet& set_;
  const OrderedIndex& times_;
  double window_hours_;
  std::vector<Bucket> buckets_;
};

// A later observation of a key at the same commit replaces the earlier one.
void keep_last_per_point(Series<std::uint32_t>& s) {
  auto& p = s.points;
  std::stable_sort(p.begin(), p.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::size_t out = 0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (i + 1 < p.size() && p[i + 1].first == p[i].first) continue;
    p[out++] = p[i];
  }
  p.resize(out);
}

// A window keeps its key's strongest deviation; on equal strength the first.
void keep_strongest_per_point(Series<std::int64_t>& s) {
  auto& p = s.points;
  std::stable_sort(p.begin(), p.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::size_t out = 0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (out > 0 && p[out - 1].first == p[i].first) {
      if (std::fabs(p[i].second.deviation) > std::fabs(p[out - 1].second.deviation)) p[out - 1] = p[i];
    } else {
      p[out++] = p[i];
    }
  }
  p.resize(out);
}

struct PassForm {
  std::string_view alignment;  // the candidate's alignment
  bool temporal;
};

class PairJudge {
 public:
  PairJudge(const SignalSet& set, const Params& params, Logger* debug) : set_(set), params_(params), debug_(debug) {
    window_text_ = numfmt::plain(params.values.at("temporal_window_hours"));
  }

  // The candidate record of the pair, or nothing when it is rejected.
  template <class Point>
  std::optional<json::Value> judge(const Series<Point>& a, const Series<Point>& b, const PassForm& form) {
    shared_.clear();
    for (std::size_t i = 0, j = 0; i < a.points.size() && j < b.points.size();) {
      if (a.points[i].first < b.points[j].first) {
        ++i;
      } else if (b.points[j].first < a.points[i].first) {
        ++j;
      } else {
        shared_.emplace_back(&a.points[i++].second, &b.points[j++].second);
      }
    }
    const auto s = static_cast<double>(shared_.size());
    if (s < params_.min_support) return std::nullopt;
    dev_a_.clear();
    dev_b_.clear();
    std::size_t moved_a = 0;
    std::size_t moved_b = 0;
    std::size_t together = 0;
    evidence_.clear();
    for (const auto& [ea, eb] : shared_) {
      dev_a_.push_back(ea->deviation);
      dev_b_.push_back(eb->deviation);
      const bool a_moved = ea->direction != Direction::Unchanged;
      const bool b_moved = eb->direction != Direction::Unchanged;
      moved_a += a_moved;
      moved_b += b_moved;
      together += a_moved && b_moved;
      if (a_moved && b_moved) {
        evidence_.push_back(ea->ref);
        evidence_.push_back(eb->ref);
      }
    }
    if (static_cast<double>(together) < params_.min_support) return std::nullopt;
    const double raw = pearson(dev_a_, dev_b_, debug_);
    const auto n = static_cast<double>(std::min(a.points.size(), b.points.size()));
    const double weight = std::min(n / params_.confidence_full_at, 1.0);
    const double effective = raw * weight;
    bool by_correlation = std::fabs(effective) >= params_.min_correlation;
    double lift = 0.0;
    if (!by_correlation) {
      const double expected = (static_cast<double>(moved_a) / s) * (static_cast<double>(moved_b) / s);
      const double observed = static_cast<double>(together) / s;
      lift = expected > 0 ? observed / expected : 0.0;
      if (!(lift >= params_.min_lift)) return std::nullopt;
    }
    const Direction dir_a = predominant_direction(dev_a_, params_.direction_threshold);
    const Direction dir_b = predominant_direction(dev_b_, params_.direction_threshold);
    const std::string& fa = set_.names().text(a.family);
    const std::string& ma = set_.names().text(a.metric);
    const std::string& fb = set_.names().text(b.family);
    const std::string& mb = set_.names().text(b.metric);

    CandidateFacts facts;
    facts.fingerprint = compute_fingerprint(
        {{fa, ma, std::string(direction_name(dir_a))}, {fb, mb, std::string(direction_name(dir_b))}});
    facts.alignment = form.alignment;
    facts.sources[0] = fa;
    facts.sources[1] = fb;
    facts.metrics[0] = ma;
    facts.metrics[1] = mb;
    facts.description = description(fa + "." + ma, fb + "." + mb, effective, lift, by_correlation, together,
                                     shared_.size(), form);
    facts.correlation_strength = numfmt::round_half_even(effective, 4);
    facts.raw_correlation = numfmt::round_half_even(raw, 4);
    facts.confidence_weight = numfmt::round_half_even(weight, 4);
    facts.measure_key = "lift";
    facts.measure = by_correlation ? json::Value() : json::Value(numfmt::round_half_even(lift, 4));
    facts.accepted_via = by_correlation ? "correlation" : "lift";
    facts.occurrence_count = static_cast<std::int64_t>(together);
    const std::size_t first = std::min<std::size_t>(shared_.size(), 10);
    for (std::size_t i = 0; i < first; ++i) facts.signal_refs.emplace_back(set_.refs().text(shared_[i].first->ref));
    for (std::size_t i = 0; i < first; ++i) facts.signal_refs.emplace_back(set_.refs().text(shared_[i].second->ref));
    return candidate_record(std::move(facts));
  }

  // The event references where both metrics of the last accepted pair moved.
  const std::vector<std::uint32_t>& evidence() const { return evidence_; }

 private:
  std::string description(const std::string& key_a, const std::string& key_b, double effective, double lift,
                          bool by_correlation, std::size_t together, std::size_t shared, const PassForm& form) const {
    std::string d = "Signals " + key_a + " and " + key_b;
    if (by_correlation) {
      d += " co-occur with correlation " + numfmt::fixed(effective, 2);
    } else {
      d += " co-deviate " + numfmt::fixed(lift, 1) + "x more than expected by chance";
    }
    d += " across " + std::to_string(together) + (form.temporal ? " temporally-aligned" : " commit-aligned") +
         " observations (of " + std::to_string(shared) +
         (form.temporal ? " shared " + window_text_ + "h windows" : std::string(" shared commits"));
    if (!by_correlation) d += ", lift=" + numfmt::fixed(lift, 2);
    d += ").";
    return d;
  }

  const SignalSet& set_;
  const Params& params_;
  Logger* debug_;
  std::string window_text_;
  std::vector<std::pair<const Entry*, const Entry*>> shared_;
  std::vector<double> dev_a_;
  std::vector<double> dev_b_;
  std::vector<std::uint32_t> evidence_;
};

using KeyPair = std::pair<std::uint64_t, std::uint64_t>;

// Judges every pair of keys of different families that have enough points,
// each unordered pair once, skipping the pairs in `skip` (either order).
template <class Point>
std::size_t judge_pairs(std::vector<Series<Point>>& series, const Params& params, PairJudge& judge,
                        const PassForm& form, const std::set<KeyPair>& skip, json::Array& out,
                        std::set<KeyPair>* accepted, std::vector<std::vector<std::uint32_t>>* evidence) {
  std::vector<const Series<Point>*> active;
  for (const Series<Point>& s : series) {
    if (static_cast<double>(s.points.size()) >= params.min_support) active.push_back(&s);
  }
  std::size_t found = 0;
  for (std::size_t i = 0; i < active.size(); ++i) {
    for (std::size_t j = i + 1; j < active.size(); ++j) {
      const Series<Point>& a = *active[i];
      const Series<Point>& b = *active[j];
      if (a.family == b.family) continue;
      if (skip.count({a.key, b.key}) != 0 || skip.count({b.key, a.key}) != 0) continue;
      std::optional<json::Value> candidate = judge.judge(a, b, form);
      if (!candidate) continue;
      out.push_back(std::move(*candidate));
      if (evidence != nullptr) evidence->push_back(judge.evidence());
      ++found;
      if (accepted != nullptr) accepted->insert({a.key, b.key});
    }
  }
  return found;
}

}  // namespace

json::Array discover_cooccurrences(const SignalSet& signals, const EventIndexes& events, const Params& params,
                                   Logger& log, std::vector<std::vector<std::uint32_t>>* evidence) {
  std::size_t degenerate = 0;
  for (const Signal& s : signals.signals()) degenerate += s.degenerate;
  if (degenerate > 0) {
    const LogArg args[] = {static_cast<std::int64_t>(degenerate), static_cast<std::int64_t>(signals.size())};
    log.write(LogLevel::Info, "Co-occurrence: skipped %d degenerate signals (of %d total)", args);
  }

  const CommitRanks commits(signals, events.commits);
  Windows windows(signals, events.times, params.temporal_window_hours);
  SeriesMap<std::uint32_t> by_commit;
  SeriesMap<std::int64_t> by_bucket;
  for (const Signal& s : signals.signals()) {
    if (s.degenerate || s.state != MeasureState::Number) continue;
    signals.family(s);  // both fields are required of a signal with a measure
    signals.metric(s);
    const Entry entry{s.ref, classify_direction(s.measure, params.direction_threshold, s.degenerate_unit), s.measure};
    if (const std::optional<std::uint32_t> commit = commits.of(s.ref)) {
      by_commit.at(s.family, s.metric).points.emplace_back(*commit, entry);
    }
    if (const std::optional<std::int64_t> bucket = windows.of(s.ref)) {
      by_bucket.at(s.family, s.metric).points.emplace_back(*bucket, entry);
    }
  }
  for (auto& s : by_commit.all()) keep_last_per_point(s);
  for (auto& s : by_bucket.all()) keep_strongest_per_point(s);

  // Constant series are frequent; ask once whether their message is wanted.
  PairJudge judge(signals, params, log.enabled(LogLevel::Debug) ? &log : nullptr);
  json::Array candidates;
  std::set<KeyPair> discovered;
  judge_pairs(by_commit.all(), params, judge, {"commit_sha", false}, {}, candidates, &discovered, evidence);
  const std::size_t temporal =
      judge_pairs(by_bucket.all(), params, judge, {"temporal", true}, discovered, candidates, nullptr, evidence);
  if (temporal > 0) {
    const LogArg args[] = {static_cast<std::int64_t>(temporal)};
    log.write(LogLevel::Info, "Temporal alignment discovered %d additional candidate patterns", args);
  }
  return candidates;
}

}  // namespace varnel::patstage
