// Building, choosing, grouping and enriching change records.
#include "advstage/changes.hpp"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "advstage/event_facts.hpp"
#include "advstage/fields.hpp"
#include "advstage/significance.hpp"
#include "common/json_logic.hpp"
#include "common/json_writer.hpp"
#include "common/number_format.hpp"

namespace varnel::advstage {

namespace {

using json::Object;

// Identifies a value for grouping: text as itself, other kinds by their
// canonical JSON, so that "1" and 1 stay apart.
std::string identity(const Value& v) {
  std::string out(1, v.is_string() ? 's' : 'j');
  if (v.is_string()) {
    out += v.as_string();
  } else {
    json::write(out, v, json::kCanonical);
  }
  return out;
}


double deviation_size(const Value& change) { return magnitude(required(change, "deviation_stddev")); }

void sort_by_deviation(json::Array& changes) {
  std::vector<std::pair<double, Value*>> keyed;
  keyed.reserve(changes.size());
  for (Value& c : changes) keyed.emplace_back(deviation_size(c), &c);
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  json::Array sorted;
  sorted.reserve(changes.size());
  for (auto& [size, c] : keyed) sorted.push_back(std::move(*c));
  changes = std::move(sorted);
}

Object normal_of(const Value& baseline) {
  const Value& mean = required(baseline, "mean");
  Object normal;
  normal.append("mean", numfmt::round_value(mean, 4));
  normal.append("stddev", numfmt::round_value(required(baseline, "stddev"), 4));
  normal.append("median", numfmt::round_value(value_or(baseline, "median", mean), 4));
  normal.append("mad", numfmt::round_value(value_or(baseline, "mad", Value(0)), 4));
  return normal;
}

}  // namespace

Value format_change(const Value& signal, const ExplanationIndex& explanations, const EventMap* events) {
  const Value& measure = required(required(signal, "deviation"), "measure");
  const Value& baseline = required(signal, "baseline");
  const Value ref = value_or(signal, "event_ref", Value(""));
  const Value& engine = required(signal, "engine_id");
  const Value& metric = required(signal, "metric");

  const ExplanationKeys keys = explanation_keys(signal);
  const Value* explanation = explanations.find(keys.own);
  if (explanation == nullptr || !json::truthy(*explanation)) explanation = explanations.find(keys.shared);
  Value description = explanation != nullptr ? value_or(*explanation, "summary", Value("")) : Value("");

  Value trigger_commit(""), commit_message("");
  const json::Array* trigger_files = &empty_list().as_array();
  std::string observed_at;
  if (events != nullptr && !events->empty() && json::truthy(ref)) {
    const EventMap::Entry* found = events->find(ref);
    const Value& event = found != nullptr ? found->event : empty_object();
    const Value& payload = object_field(event, "payload");
    observed_at = found != nullptr ? event_time(*found) : event_time(event);
    const Value* source_type = field(event, "source_type");
    if (source_type != nullptr && source_type->is_string() && source_type->as_string() == "git") {
      trigger_commit = value_or(payload, "commit_hash", Value(""));
      commit_message = value_or(payload, "message", Value(""));
      trigger_files = &list_field(payload, "files");
    } else {
      const Value& trigger = object_field(payload, "trigger");
      trigger_commit = value_or(trigger, "commit_sha", Value(""));
      commit_message = value_or(trigger, "commit_message", Value(""));
    }
  }

  const Value* unit = field(required(signal, "deviation"), "unit");
  Object change;
  change.reserve(16);
  change.append("family", engine);
  change.append("metric", metric);
  change.append("normal", normal_of(baseline));
  change.append("current", required(signal, "observed"));
  change.append("deviation_stddev", numfmt::round_value(measure, 2));
  change.append("deviation_unit", unit != nullptr ? *unit : Value("modified_zscore"));
  change.append("description", std::move(description));
  change.append("event_ref", ref);
  change.append("trigger_commit", std::move(trigger_commit));
  change.append("commit_message", std::move(commit_message));
  change.append("observed_at", std::move(observed_at));
  append_files(change, "trigger_files", *trigger_files);
  return Value(std::move(change));
}

json::Array keep_strongest(json::Array changes) {
  json::Array kept;
  std::unordered_map<std::string, std::size_t> position;
  for (Value& change : changes) {
    const std::string key = text_of(required(change, "family")) + ":" + text_of(required(change, "metric"));
    const auto [it, added] = position.try_emplace(key, kept.size());
    if (added) {
      kept.push_back(std::move(change));
    } else if (deviation_size(change) > deviation_size(kept[it->second])) {
      kept[it->second] = std::move(change);
    }
  }
  sort_by_deviation(kept);
  return kept;
}

json::Array group_by_trigger_event(const json::Array& changes) {
  struct Group {
    Value ref;
    json::Array changes;
  };
  std::vector<Group> groups;
  std::unordered_map<std::string, std::size_t> by_ref;
  std::vector<const Value*> ungrouped;
  for (const Value& change : changes) {
    const Value* ref = field(change, "event_ref");
    if (ref == nullptr || !json::truthy(*ref)) {
      ungrouped.push_back(&change);
      continue;
    }
    const auto [it, added] = by_ref.try_emplace(identity(*ref), groups.size());
    if (added) groups.push_back({*ref, {}});
    groups[it->second].changes.push_back(change);
  }
  json::Array out;
  out.reserve(groups.size() + ungrouped.size());
  for (Group& g : groups) {
    sort_by_deviation(g.changes);
    std::set<std::string> families;
    for (const Value& c : g.changes) families.insert(text_of(required(c, "family")));
    json::Array family_list(families.begin(), families.end());
    const auto count = static_cast<std::int64_t>(g.changes.size());
    Object group;
    group.append("event_ref", std::move(g.ref));
    group.append("primary", g.changes.front());
    group.append("families", std::move(family_list));
    group.append("changes", std::move(g.changes));
    group.append("signal_count", count);
    out.push_back(std::move(group));
  }
  std::stable_sort(out.begin(), out.end(), [](const Value& a, const Value& b) {
    return deviation_size(a.at("primary")) > deviation_size(b.at("primary"));
  });
  for (const Value* change : ungrouped) {
    Object group;
    group.append("event_ref", Value());
    group.append("primary", *change);
    group.append("families", json::Array{required(*change, "family")});
    group.append("changes", json::Array{*change});
    group.append("signal_count", 1);
    out.push_back(std::move(group));
  }
  return out;
}

SignalsByMetric::SignalsByMetric(const json::Array& signals, const json::Array& changes) {
  for (const Value& change : changes) {
    Value family = value_or(change, "family", Value(""));
    Value metric = value_or(change, "metric", Value(""));
    if (group_of(family, metric)) continue;
    const std::size_t g = groups_.size();
    if (metric.is_string()) {
      by_metric_[metric.as_string()].push_back(g);
    } else {
      other_metrics_.push_back(g);
    }
    groups_.push_back({std::move(family), std::move(metric), {}});
  }
  static const Value kNone("");
  for (const Value& signal : signals) {
    const Value* family = field(signal, "engine_id");
    const Value* metric = field(signal, "metric");
    if (auto g = group_of(family != nullptr ? *family : kNone, metric != nullptr ? *metric : kNone)) {
      groups_[*g].signals.push_back(&signal);
    }
  }
}

std::optional<std::size_t> SignalsByMetric::group_of(const Value& family, const Value& metric) const {
  const std::vector<std::size_t>* candidates = &other_metrics_;
  if (metric.is_string()) {
    const auto it = by_metric_.find(std::string_view(metric.as_string()));
    if (it == by_metric_.end()) return std::nullopt;
    candidates = &it->second;
  }
  for (std::size_t g : *candidates) {
    if (groups_[g].family == family && groups_[g].metric == metric) return g;
  }
  return std::nullopt;
}

const std::vector<const Value*>* SignalsByMetric::find(const Value& change) const {
  const auto g = group_of(value_or(change, "family", Value("")), value_or(change, "metric", Value("")));
  return g ? &groups_[*g].signals : nullptr;
}

std::optional<Object> latest_deviation_fields(const Value& change, const SignalsByMetric& signals,
                                              const EventMap& events) {
  const std::vector<const Value*>* candidates = signals.find(change);
  if (candidates == nullptr) return std::nullopt;
  const Value* latest = nullptr;
  std::string latest_ts;
  for (const Value* signal : *candidates) {
    const EventMap::Entry* event = event_of(*signal, events);
    if (event == nullptr || !json::truthy(event->event)) continue;
    const std::string& ts = event_time(*event);
    if (ts > latest_ts) {
      latest = signal;
      latest_ts = ts;
    }
  }
  if (latest == nullptr) return std::nullopt;
  const Value* measure = field(object_field(*latest, "deviation"), "measure");
  if (measure == nullptr) return std::nullopt;
  const Value latest_ref = value_or(*latest, "event_ref", Value(""));
  Object fields;
  fields.append("latest_deviation", numfmt::round_value(*measure, 2));
  fields.append("latest_value", value_or(*latest, "observed", Value()));
  fields.append("latest_event_ref", latest_ref);
  fields.append("is_latest_event", value_or(change, "event_ref", Value("")) == latest_ref);
  return fields;
}

void enrich_with_latest_deviation(json::Array& changes, const json::Array& signals, const EventMap& events) {
  const SignalsByMetric by_metric(signals, changes);
  for (Value& change : changes) {
    std::optional<Object> fields = latest_deviation_fields(change, by_metric, events);
    if (!fields) continue;
    for (json::Member& m : *fields) change.as_object().set(std::move(m.key), std::move(m.value));
  }
}

}  // namespace varnel::advstage
