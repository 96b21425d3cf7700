// The advisory run and fix verification.
#include "advstage/advisory_engine.hpp"

#include <algorithm>
#include <set>
#include <utility>

#include "advstage/changes.hpp"
#include "advstage/event_facts.hpp"
#include "advstage/evidence.hpp"
#include "advstage/fields.hpp"
#include "advstage/pattern_matching.hpp"
#include "advstage/renderers.hpp"
#include "advstage/verification.hpp"
#include "common/clock.hpp"
#include "common/content_id.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/json_logic.hpp"
#include "common/json_writer.hpp"
#include "workspace/signal_files.hpp"

namespace varnel::advstage {

std::string content_hash(const Value& data) { return content_id(data, 16); }

namespace {

using json::Object;

Object result(std::string_view status) {
  Object out;
  out.append("status", std::string(status));
  return out;
}

// The span of event times behind the significant signals.
Object period_of(const SignalRefs& significant, const EventMap& events, const std::string& generated_at) {
  std::set<std::string> refs;
  for (const Value* signal : significant) {
    const std::string ref = text_field(*signal, "event_ref");
    if (!ref.empty()) refs.insert(ref);
  }
  std::optional<std::string> from, to;
  for (const std::string& ref : refs) {
    const EventMap::Entry* event = events.find(ref);
    if (event == nullptr) continue;
    const std::string& ts = event_time(*event);
    if (ts.empty()) continue;
    if (!from || ts < *from) from = ts;
    if (!to || ts > *to) to = ts;
  }
  Object period;
  period.append("from", from.value_or(generated_at));
  period.append("to", to.value_or(generated_at));
  return period;
}

// Knowledge matches followed by pattern matches.
json::Array pattern_matches(const SignalRefs& significant, const json::Array& knowledge, const json::Array& patterns) {
  json::Array matches;
  if (knowledge.empty() && patterns.empty()) return matches;
  const Movement moved = movement_of(significant);
  if (!knowledge.empty()) matches = match_knowledge(moved, knowledge);
  if (!patterns.empty()) {
    for (Value& m : match_stored_patterns(moved, patterns)) matches.push_back(std::move(m));
  }
  return matches;
}

json::Array list_of(Value v) {
  if (v.is_null()) return {};
  return std::move(v.as_array());
}

json::Array sorted_families(const json::Array& changes) {
  std::set<std::string> families;
  for (const Value& c : changes) families.insert(text_of(required(c, "family")));
  return json::Array(families.begin(), families.end());
}

Object summary_of(const json::Array& remaining, const json::Array& accepted, std::size_t matches, std::size_t groups) {
  json::Array accepted_metrics;
  for (const Value& c : accepted) {
    accepted_metrics.emplace_back(text_of(required(c, "family")) + "/" + text_of(required(c, "metric")));
  }
  const auto significant = static_cast<std::int64_t>(remaining.size());
  const auto known = static_cast<std::int64_t>(matches);
  Object summary;
  summary.append("significant_changes", significant);
  summary.append("accepted_changes", static_cast<std::int64_t>(accepted.size()));
  summary.append("accepted_metrics", std::move(accepted_metrics));
  summary.append("families_affected", sorted_families(remaining));
  summary.append("known_patterns_matched", known);
  summary.append("candidate_patterns_matched", 0);
  summary.append("event_groups", static_cast<std::int64_t>(groups));
  summary.append("new_observations", std::max<std::int64_t>(0, significant - known));
  return summary;
}

// What a run found, ready to be published.
struct Findings {
  std::string scope;
  std::string generated_at;
  Object period;
  Value evidence;
  json::Array matches;
  json::Array remaining;
  json::Array accepted;
};

// The advisory when every change was accepted: written with the bare
// evidence and the all-clear line.
Value publish_all_clear(Findings f, const std::filesystem::path& out_dir, AdvisoryLanguage& language) {
  const auto accepted_count = static_cast<std::int64_t>(f.accepted.size());
  Object identity;
  identity.append("scope", f.scope);
  identity.append("accepted", accepted_count);
  Object advisory;
  advisory.append("advisory_id", content_hash(Value(std::move(identity))));
  advisory.append("scope", f.scope);
  advisory.append("generated_at", f.generated_at);
  advisory.append("period", std::move(f.period));
  advisory.append("summary", summary_of(f.remaining, f.accepted, 0, 0));
  for (const char* key : {"changes", "event_groups", "pattern_matches", "candidate_patterns"}) {
    advisory.append(key, json::Array{});
  }
  Value record(std::move(advisory));
  record.as_object().append("status", language.advisory_status(record));
  const std::string line =
      "All clear \u2014 " + std::to_string(accepted_count) + " accepted deviation(s), no new issues detected.";
  const std::filesystem::path json_path = out_dir / "advisory.json";
  const std::filesystem::path human_path = out_dir / "summary.txt";
  files::write_atomic(json_path, json::dumps(record, json::kPretty));
  files::write_atomic(out_dir / "evidence.json", json::dumps(f.evidence, json::kPretty));
  files::write_atomic(human_path, line);
  Object formats;
  formats.append("json", json_path.string());
  formats.append("human", human_path.string());
  Object out = result("complete");
  out.append("advisory", std::move(record));
  out.append("human_summary", line);
  out.append("formats", std::move(formats));
  return Value(std::move(out));
}

// The advisory of the remaining changes: its record, evidence package and
// three texts, written one file after another.
Value publish_advisory(Findings f, const std::filesystem::path& out_dir, AdvisoryLanguage& language) {
  Object identity;
  identity.append("scope", f.scope);
  identity.append("period", f.period);
  identity.append("changes_count", static_cast<std::int64_t>(f.remaining.size()));
  const std::string advisory_id = content_hash(Value(std::move(identity)));

  Object package;
  package.append("evidence_id", content_hash(f.evidence));
  package.append("advisory_ref", advisory_id);
  for (json::Member& m : f.evidence.as_object()) package.append(std::move(m.key), std::move(m.value));

  json::Array groups = group_by_trigger_event(f.remaining);
  Object advisory;
  advisory.append("advisory_id", advisory_id);
  advisory.append("scope", f.scope);
  advisory.append("generated_at", f.generated_at);
  advisory.append("period", std::move(f.period));
  advisory.append("summary", summary_of(f.remaining, f.accepted, f.matches.size(), groups.size()));
  advisory.append("changes", std::move(f.remaining));
  advisory.append("event_groups", std::move(groups));
  advisory.append("pattern_matches", std::move(f.matches));
  advisory.append("candidate_patterns", json::Array{});
  advisory.append("evidence", package);
  Value record(std::move(advisory));
  record.as_object().append("status", language.advisory_status(record));

  std::string human = human_summary(record, language);
  std::string chat = chat_message(record, language);
  std::string prompt = investigation_prompt(record);
  const std::filesystem::path json_path = out_dir / "advisory.json";
  const std::filesystem::path human_path = out_dir / "summary.txt";
  const std::filesystem::path chat_path = out_dir / "chat.txt";
  const std::filesystem::path prompt_path = out_dir / "investigation_prompt.txt";
  files::write_atomic(json_path, json::dumps(record, json::kPretty));
  files::write_atomic(out_dir / "evidence.json", json::dumps(Value(std::move(package)), json::kPretty));
  files::write_atomic(human_path, human);
  files::write_atomic(chat_path, chat);
  files::write_atomic(prompt_path, prompt);

  Object formats;
  formats.append("json", json_path.string());
  formats.append("human", human_path.string());
  formats.append("chat", chat_path.string());
  formats.append("investigation", prompt_path.string());
  Object out = result("complete");
  out.append("advisory", std::move(record));
  out.append("formats", std::move(formats));
  out.append("human_summary", std::move(human));
  out.append("chat_format", std::move(chat));
  out.append("investigation_prompt", std::move(prompt));
  return Value(std::move(out));
}

}  // namespace

namespace {

// The keys the signals' events are found by (an absent event_ref reads as
// ""); nullopt when one names its event by something other than text.
std::optional<std::unordered_set<std::string>> named_events(const json::Array& signals) {
  std::unordered_set<std::string> keys;
  for (const Value& signal : signals) {
    const Value* ref = field(signal, "event_ref");
    if (ref != nullptr && !ref->is_string()) return std::nullopt;
    keys.insert(ref != nullptr ? ref->as_string() : std::string());
  }
  return keys;
}

}  // namespace

std::optional<std::unordered_set<std::string>> AdvisoryEngine::wanted_explanations(const json::Array& signals) const {
  std::unordered_set<std::string> keys;
  try {
    for (const Value* signal : filter_significant(signals)) {
      ExplanationKeys k = explanation_keys(*signal);
      keys.insert(std::move(k.own));
      keys.insert(std::move(k.shared));
    }
  } catch (const Error&) {
    // A signal the run cannot use fails it after every input is loaded, as
    // without this shortcut; until then, index everything.
    return std::nullopt;
  }
  return keys;
}

AdvisoryEngine::AdvisoryEngine(std::filesystem::path varnel_dir, double significance_threshold)
    : layout_(std::move(varnel_dir)), significance_threshold_(significance_threshold) {
  files::make_dirs(layout_.phase5);
}

json::Array AdvisoryEngine::load_signals(const json::Projection* keep) const {
  return workspace::load_signal_files(layout_.phase2, keep);
}

ExplanationIndex AdvisoryEngine::load_explanations(const json::Projection* keep,
                                                   std::optional<std::unordered_set<std::string>> wanted) const {
  ExplanationIndex index(std::move(wanted));
  advstage::load_explanations(layout_.phase3, index, keep);
  return index;
}

EventMap AdvisoryEngine::load_events() const { return advstage::load_events(layout_.events); }

Value AdvisoryEngine::load_knowledge() const { return advstage::load_knowledge(layout_.phase4); }

Value AdvisoryEngine::load_patterns(std::optional<std::string_view> scope) const {
  return advstage::load_patterns(layout_.phase4, scope);
}

SignalRefs AdvisoryEngine::filter_significant(const json::Array& signals) const {
  return advstage::filter_significant(signals, significance_threshold_);
}

Value AdvisoryEngine::run(std::string_view scope, Outside& outside, const EventRefs& event_refs) const {
  const std::string generated_at = utc_timestamp();
  outside.accepted.cleanup_expired();
  // Only the window's signals are kept, as they are read.
  json::Array signals;
  workspace::for_each_signal(
      layout_.phase2,
      [&](Value&& s) {
        const Value* ref = event_refs && s.is_object() ? s.as_object().find("event_ref") : nullptr;
        if (!event_refs || (ref != nullptr && ref->is_string() && event_refs->contains(ref->as_string()))) {
          signals.push_back(std::move(s));
        }
      },
      &kRunSignalFields);
  const ExplanationIndex explanations = load_explanations(&kRunExplanationFields, wanted_explanations(signals));
  // Only the events the window's signals name are held whole.
  const std::optional<std::unordered_set<std::string>> named = named_events(signals);
  const EventMap events = advstage::load_events(layout_.events, named ? &*named : nullptr);
  const json::Array knowledge = list_of(load_knowledge());
  json::Array patterns = list_of(load_patterns("community"));
  for (Value& p : list_of(load_patterns("local"))) patterns.push_back(std::move(p));

  if (signals.empty()) {
    Object out = result("no_signals");
    out.append("advisory", Value());
    return Value(std::move(out));
  }
  const SignalRefs significant = filter_significant(signals);
  if (significant.empty()) {
    Object out = result("no_significant_changes");
    out.append("advisory", Value());
    return Value(std::move(out));
  }

  Value evidence = collect_evidence(significant, events);
  json::Array matches = pattern_matches(significant, knowledge, patterns);
  json::Array changes;
  changes.reserve(significant.size());
  for (const Value* signal : significant) changes.push_back(format_change(*signal, explanations, &events));
  Object period = period_of(significant, events, generated_at);
  changes = keep_strongest(std::move(changes));
  enrich_with_latest_deviation(changes, signals, events);

  const std::vector<bool> accepted_flags = outside.accepted.accepted(changes, commit_list(events));
  json::Array remaining, accepted;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    (accepted_flags.at(i) ? accepted : remaining).push_back(std::move(changes[i]));
  }
  if (!accepted.empty()) {
    // Patterns about accepted metrics alone no longer concern anyone.
    std::set<std::string> active;
    for (const Value& c : remaining) active.insert(text_of(required(c, "metric")));
    std::erase_if(matches, [&](const Value& m) { return !names_any_metric(m, active); });
  }

  files::make_dirs(layout_.phase5);
  Findings findings{std::string(scope), generated_at, std::move(period), std::move(evidence), std::move(matches),
                    std::move(remaining), std::move(accepted)};
  return findings.remaining.empty() ? publish_all_clear(std::move(findings), layout_.phase5, outside.language)
                                    : publish_advisory(std::move(findings), layout_.phase5, outside.language);
}

Value AdvisoryEngine::verify(std::string_view scope, const std::filesystem::path& previous, std::string_view shown_as,
                             Outside& outside, const EventRefs& event_refs) const {
  // Read first: the run below may rewrite this very file.
  const PreviousAdvisory snapshot = snapshot_previous_advisory(previous);
  Value current_result = run(scope, outside, event_refs);
  if (text_field(current_result, "status") != "complete") {
    Object verification;
    for (const char* key : {"resolved", "persisting", "new", "regressions"}) verification.append(key, json::Array{});
    Object out = result("no_current_data");
    out.append("message", "Current pipeline produced no significant changes.");
    out.append("verification", std::move(verification));
    return Value(std::move(out));
  }
  Value current = std::move(current_result.as_object().find("advisory")->as_object());
  if (!snapshot.exists) {
    Object out = result("no_previous_advisory");
    out.append("message", "Previous advisory not found: " + std::string(shown_as));
    out.append("advisory", std::move(current));
    return Value(std::move(out));
  }
  const Value before = decode_previous_advisory(snapshot, previous);
  const Value diff = diff_advisories(before, current, outside.history);
  std::string text = verification_summary(before, current, diff, outside.language);
  Value record = verification_record(before, current, diff, scope, utc_timestamp());

  const std::filesystem::path json_path = layout_.phase5 / "verification.json";
  const std::filesystem::path text_path = layout_.phase5 / "verification.txt";
  files::write_atomic(json_path, json::dumps(record, json::kPretty));
  files::write_atomic(text_path, text);

  Object formats;
  if (const Value* earlier = field(current_result, "formats")) formats = earlier->as_object();
  formats.append("verification_json", json_path.string());
  formats.append("verification_text", text_path.string());
  Object out = result("verified");
  out.append("advisory", std::move(current));
  out.append("verification", std::move(record));
  out.append("verification_text", std::move(text));
  out.append("formats", std::move(formats));
  return Value(std::move(out));
}

}  // namespace varnel::advstage
