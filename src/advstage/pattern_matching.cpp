// Matching knowledge and patterns, and the short list of matches.
#include "advstage/pattern_matching.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

#include "advstage/fields.hpp"
#include "advstage/labels.hpp"
#include "common/json_logic.hpp"
#include "common/json_writer.hpp"
#include "patstage/fingerprint.hpp"

namespace varnel::advstage {

namespace {

using json::Object;

// The texts of `list` that are in `set`, sorted and distinct.
json::Array shared(const json::Array& list, const std::set<std::string>& set) {
  std::set<std::string> common;
  for (const Value& v : list) {
    if (v.is_string() && set.count(v.as_string()) != 0) common.insert(v.as_string());
  }
  json::Array out;
  for (const std::string& s : common) out.emplace_back(s);
  return out;
}

bool overlaps(const json::Array& list, const std::set<std::string>& set) {
  return std::any_of(list.begin(), list.end(),
                     [&](const Value& v) { return v.is_string() && set.count(v.as_string()) != 0; });
}

bool matches(const Movement& moved, const Value& stored) {
  return overlaps(list_field(stored, "sources"), moved.families) &&
         overlaps(list_field(stored, "metrics"), moved.metrics);
}

Value description(const Value& stored) {
  const Value* semantic = field(stored, "description_semantic");
  if (semantic != nullptr && json::truthy(*semantic)) return *semantic;
  return value_or(stored, "description_statistical", Value(""));
}

// Texts of a list, sorted as a host sorts strings (by code point).
std::vector<std::string> sorted_texts(const json::Array& list) {
  std::vector<std::string> out;
  out.reserve(list.size());
  for (const Value& v : list) out.push_back(text_of(v));
  std::sort(out.begin(), out.end());
  return out;
}

// The families and canonical metrics of a match, as one text.
std::string dedup_key(const Value& match) {
  const Value* families = field(match, "families");
  const json::Array& family_list =
      families != nullptr && json::truthy(*families) ? list_field(match, "families") : list_field(match, "sources");
  std::vector<std::string> metrics = sorted_texts(list_field(match, "metrics"));
  for (std::string& m : metrics) m = std::string(canonical_metric(m));
  std::sort(metrics.begin(), metrics.end());
  json::Array key_families, key_metrics;
  for (std::string& f : sorted_texts(family_list)) key_families.emplace_back(std::move(f));
  for (std::string& m : metrics) key_metrics.emplace_back(std::move(m));
  return json::dumps(Value(json::Array{Value(std::move(key_families)), Value(std::move(key_metrics))}),
                     json::kCanonical);
}

double strength(const Value& match) {
  for (std::string_view key : {"correlation", "correlation_strength"}) {
    const Value* v = field(match, key);
    if (v != nullptr && json::truthy(*v)) return magnitude(*v);
  }
  return 0.0;
}

int severity_rank(const std::optional<std::string>& severity) {
  static const std::unordered_map<std::string, int> kRanks{
      {"positive", 0}, {"info", 1}, {"watch", 2}, {"concern", 3}, {"critical", 4}};
  if (!severity) return 1;
  const auto it = kRanks.find(*severity);
  return it == kRanks.end() ? 1 : it->second;
}

}  // namespace

Movement movement_of(const SignalRefs& significant) {
  Movement moved;
  for (patstage::Component& c : patstage::signals_to_components(significant, kComponentThreshold)) {
    moved.families.insert(std::move(c.family));
    moved.metrics.insert(std::move(c.metric));
  }
  return moved;
}

json::Array match_knowledge(const Movement& moved, const json::Array& knowledge) {
  json::Array out;
  for (const Value& item : knowledge) {
    if (!matches(moved, item)) continue;
    Object match;
    match.append("knowledge_id", value_or(item, "knowledge_id", Value("")));
    match.append("pattern_type", value_or(item, "pattern_type", Value("")));
    match.append("confidence", "approved");
    match.append("support_count", value_or(item, "support_count", Value(0)));
    match.append("sources", list_field(item, "sources"));
    match.append("metrics", list_field(item, "metrics"));
    match.append("description", description(item));
    out.push_back(std::move(match));
  }
  return out;
}

json::Array match_stored_patterns(const Movement& moved, const json::Array& patterns) {
  json::Array out;
  for (const Value& pattern : patterns) {
    if (!matches(moved, pattern)) continue;
    const Value* id = field(pattern, "pattern_id");
    Object match;
    match.append("pattern_id", id != nullptr && json::truthy(*id) ? *id : value_or(pattern, "fingerprint", Value("")));
    match.append("correlation", value_or(pattern, "correlation_strength", Value(0)));
    match.append("families", shared(list_field(pattern, "sources"), moved.families));
    match.append("metrics", shared(list_field(pattern, "metrics"), moved.metrics));
    match.append("description", description(pattern));
    match.append("repo_count", value_or(pattern, "repo_count", Value(0)));
    out.push_back(std::move(match));
  }
  return out;
}

std::vector<std::size_t> dedup_and_limit_patterns(const json::Array& patterns, std::int64_t limit,
                                                  AdvisoryLanguage& language) {
  struct Kept {
    std::size_t match;
    double strength;
    int rank;
  };
  std::vector<Kept> kept;
  std::unordered_map<std::string, std::size_t> position;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    const double s = strength(patterns[i]);
    const auto [it, added] = position.try_emplace(dedup_key(patterns[i]), kept.size());
    if (added) {
      kept.push_back({i, s, 0});
    } else if (s > kept[it->second].strength) {
      kept[it->second] = {i, s, 0};
    }
  }
  for (Kept& k : kept) k.rank = severity_rank(language.pattern_severity(patterns[k.match]));
  std::stable_sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) {
    return a.rank != b.rank ? a.rank > b.rank : a.strength > b.strength;
  });
  const auto n = static_cast<std::int64_t>(kept.size());
  const std::int64_t count = std::clamp<std::int64_t>(limit < 0 ? n + limit : limit, 0, n);
  std::vector<std::size_t> out;
  for (std::int64_t i = 0; i < count; ++i) out.push_back(kept[static_cast<std::size_t>(i)].match);
  return out;
}

bool names_any_metric(const Value& match, const std::set<std::string>& metrics) {
  return overlaps(list_field(match, "metrics"), metrics);
}

}  // namespace varnel::advstage
