// Construction, inputs and the run of the pattern engine.
#include "patstage/pattern_engine.hpp"

#include <algorithm>
#include <cstdlib>
#include <unordered_set>

#include "common/clock.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/json_logic.hpp"
#include "common/json_reader.hpp"
#include "common/json_writer.hpp"
#include "patstage/cooccurrence.hpp"
#include "patstage/fingerprint.hpp"
#include "patstage/lifecycle.hpp"
#include "patstage/presence.hpp"
#include "workspace/optional_file.hpp"
#include "vocab/tables.hpp"

namespace varnel::patstage {

namespace {

constexpr std::size_t kMaxBatchRefs = 20;
constexpr std::string_view kDefaultModel = "anthropic/claude-sonnet-4.5";

// What a run needs of signal and explanation records; the rest of them
// (baselines, explanation details) is checked but never built.
const json::Projection kDeviation{{{"measure"}, {"unit"}, {"degenerate"}}};
const json::Projection kSignal{{{"engine_id"}, {"metric"}, {"event_ref"}, {"deviation", &kDeviation}}};
const json::Projection kSignalFile{{}, &kSignal};
const json::Projection kExplanation{{{"signal_ref"}, {"summary"}}};
const json::Projection kExplanationFile{{}, &kExplanation};
const json::Projection kReference{{{"signal_ref"}}};
const json::Projection kExplanationCheck{{}, &kReference};

std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

// The file's top-level list; a file holding anything else is damaged.
json::Array& records_of(json::Value& parsed, const std::filesystem::path& path) {
  if (!parsed.is_array()) {
    throw TypeMismatchError(path.string() + ": expected a JSON array, not " + json::kind_name(parsed.kind()));
  }
  return parsed.as_array();
}

// Every record of the signal files Phase 4 reads (vocab::kPatternSignalFiles:
// coverage and error-tracking signals are not aligned with others), in file order.
template <class Each>
void for_each_signal(const std::filesystem::path& phase2, const json::Projection* projection, Each each) {
  for (const vocab::SignalFile& file : vocab::kPatternSignalFiles) {
    const std::filesystem::path path = phase2 / file.file_name;
    std::optional<json::Value> parsed = workspace::read_if_present(path, projection);
    if (!parsed) continue;
    for (json::Value& record : records_of(*parsed, path)) each(record);
  }
}

// Every explanation with a text signal reference, in file order.
template <class Each>
void for_each_explanation(const std::filesystem::path& phase3, const json::Projection* projection, Each each) {
  const std::filesystem::path path = workspace::explanations_file(phase3);
  std::optional<json::Value> parsed = workspace::read_if_present(path, projection);
  if (!parsed) return;
  for (json::Value& record : records_of(*parsed, path)) {
    if (!record.is_object()) {
      throw TypeMismatchError(path.string() + ": an explanation must be an object, not " +
                              json::kind_name(record.kind()));
    }
    const json::Value* ref = record.get("signal_ref");
    if (ref == nullptr || !ref->is_string() || ref->as_string().empty()) continue;
    std::string key = ref->as_string();
    each(std::move(key), record);
  }
}

const json::Object& record_of(const json::Value& v) {
  if (!v.is_object()) throw TypeMismatchError("the knowledge base must return records as maps");
  return v.as_object();
}

const std::string& text_of(const json::Object& record, std::string_view key) {
  const json::Value& v = record.at(key);
  if (!v.is_string()) throw TypeMismatchError(std::string(key) + " must be text");
  return v.as_string();
}

const json::Array& list_of(const json::Value& v) {
  if (!v.is_array()) throw TypeMismatchError("the knowledge base must return listings as lists");
  return v.as_array();
}

// The member of a record, or null when absent.
json::Value field_or_null(const json::Object& record, std::string_view key) {
  const json::Value* v = record.find(key);
  return v != nullptr ? *v : json::Value();
}

}  // namespace

PatternEngine::PatternEngine(std::filesystem::path varnel_dir, const json::Object& params,
                             const StoreOpener& open_store, EnginePorts ports)
    : layout_(std::move(varnel_dir)),
      params_(Params::from(params)),
      kb_((files::make_dirs(layout_.phase4), open_store(workspace::knowledge_base_file(layout_.phase4)))),
      ports_(ports) {
  std::optional<std::string> enabled = env("PHASE4B_ENABLED");
  if (!enabled) enabled = env("PHASE31_ENABLED");
  std::string flag = enabled.value_or("false");
  for (char& c : flag) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  llm_enabled_ = flag == "true";
  llm_model_ = env("PHASE4B_MODEL").value_or(std::string(kDefaultModel));
}

json::Array PatternEngine::load_all_signals() const {
  json::Array out;
  for_each_signal(layout_.phase2, nullptr, [&](json::Value& record) { out.push_back(std::move(record)); });
  return out;
}

SignalSet PatternEngine::load_signals() const {
  SignalSet out;
  for_each_signal(layout_.phase2, &kSignalFile, [&](const json::Value& record) { out.add(record); });
  return out;
}

json::Object PatternEngine::load_explanation_records() const {
  TextTable refs;
  std::vector<json::Value> records;
  for_each_explanation(layout_.phase3, nullptr, [&](std::string ref, json::Value& record) {
    const std::uint32_t id = refs.intern(ref);
    if (id == records.size()) {
      records.push_back(std::move(record));
    } else {
      records[id] = std::move(record);
    }
  });
  json::Object out;
  out.reserve(records.size());
  for (std::uint32_t id = 0; id < records.size(); ++id) out.append(refs.text(id), std::move(records[id]));
  return out;
}

Explanations PatternEngine::load_explanations(bool keep) const {
  Explanations out;
  if (!keep) {
    for_each_explanation(layout_.phase3, &kExplanationCheck, [](std::string, const json::Value&) {});
    return out;
  }
  for_each_explanation(layout_.phase3, &kExplanationFile, [&](std::string ref, const json::Value& record) {
    out.insert_or_assign(std::move(ref), display_text(record.get("summary")));
  });
  return out;
}

const EventIndexes& PatternEngine::event_indexes() {
  if (!events_) events_ = read_event_indexes(layout_.events);
  return *events_;
}

const OrderedIndex& PatternEngine::build_commit_index() {
  commit_index_built_ = true;
  return event_indexes().commits;
}

const OrderedIndex& PatternEngine::build_temporal_index() {
  temporal_index_built_ = true;
  return event_indexes().times;
}

json::Array PatternEngine::discover_cooccurrences(const SignalSet& signals,
                                                  std::vector<std::vector<std::uint32_t>>* evidence) {
  build_commit_index();
  build_temporal_index();
  return patstage::discover_cooccurrences(signals, event_indexes(), params_, ports_.log, evidence);
}

json::Array PatternEngine::discover_presence_patterns(const SignalSet& signals,
                                                      std::vector<std::vector<std::uint32_t>>* evidence) {
  return patstage::discover_presence_patterns(signals, build_commit_index(), params_, ports_.log, evidence);
}

json::Value PatternEngine::lookup_fingerprint(std::string_view fingerprint) {
  return patstage::lookup_fingerprint(kb_, fingerprint);
}

std::shared_ptr<LanguageModel> PatternEngine::get_llm() {
  if (llm_ || !llm_enabled_) return llm_;
  const std::optional<std::string> key = env("ANTHROPIC_API_KEY");
  if (key && !key->empty() && ports_.clients.available(ClientKind::Anthropic)) {
    if (std::shared_ptr<LanguageModel> client = ports_.clients.make(ClientKind::Anthropic, llm_model_)) {
      llm_ = std::move(client);
      return llm_;
    }
  }
  if (ports_.clients.available(ClientKind::OpenRouter)) {
    llm_ = ports_.clients.make(ClientKind::OpenRouter, llm_model_);
    if (!llm_) llm_enabled_ = false;
  }
  return llm_;
}

std::optional<std::string> PatternEngine::interpret_pattern(const json::Object& pattern,
                                                            const Explanations& explanations) {
  const std::shared_ptr<LanguageModel> llm = get_llm();
  if (!llm) return std::nullopt;
  return patstage::interpret_pattern(pattern, explanations, *llm, ports_.gate);
}

bool PatternEngine::check_promotion(const json::Object& pattern) {
  return patstage::check_promotion(kb_, params_, pattern);
}

std::string PatternEngine::promote_pattern(const json::Object& pattern) {
  return patstage::promote_pattern(kb_, pattern);
}

json::Array PatternEngine::run_decay() { return patstage::run_decay(kb_, params_); }

json::Value PatternEngine::run() {
  const std::string started_at = utc_timestamp();
  const SignalSet signals = load_signals();
  if (signals.size() == 0) {
    json::Object none;
    none.append("status", "no_signals");
    none.append("patterns_discovered", 0);
    none.append("patterns_recognized", 0);
    return none;
  }
  const Explanations explanations = load_explanations(llm_ != nullptr || llm_enabled_);
  std::vector<std::uint32_t> moving_refs;  // the events the batch rests on
  const std::vector<Component> moving = signals_to_components(signals, params_.direction_threshold, &moving_refs);
  const json::Value batch = moving.empty() ? json::Value() : json::Value(compute_fingerprint(moving));

  // Which event references no earlier run has seen. Without a record (a
  // fresh knowledge base, or a backend that keeps none) every one is new;
  // with one begun after earlier runs, none is until it is complete.
  const std::optional<std::unordered_set<std::string>> counted = kb_.counted_events();
  const bool earlier_unlisted = counted && counted->count(std::string(lorekeep::kEarlierRuns)) != 0;
  std::vector<char> unseen(signals.refs().size(), 1);
  unseen[0] = 0;  // no event
  if (counted) {
    for (std::uint32_t id = 1; id < unseen.size(); ++id) unseen[id] = counted->count(signals.refs().text(id)) == 0;
  }
  const bool all_new = !counted || counted->empty();
  auto rests_on_new = [&](const std::vector<std::uint32_t>& evidence) {
    if (all_new) return true;
    return !earlier_unlisted &&
           std::any_of(evidence.begin(), evidence.end(), [&](std::uint32_t id) { return unseen[id] != 0; });
  };

  std::int64_t recognized = 0;
  std::int64_t incremented = 0;
  std::int64_t discovered = 0;
  std::int64_t enriched = 0;
  std::int64_t promoted = 0;
  json::Array details;

  // Counts one more occurrence of a stored pattern when it rests on an event
  // not seen before; returns the id of the knowledge it was promoted to, if it was.
  auto count_occurrence = [&](const std::string& pattern_id, const json::Array& refs,
                              const std::vector<std::uint32_t>& evidence) -> std::optional<std::string> {
    if (!rests_on_new(evidence)) return std::nullopt;
    kb_.increment_pattern(pattern_id, refs, started_at);
    ++incremented;
    const json::Value pattern = kb_.get_pattern(pattern_id);
    if (!json::truthy(pattern) || !check_promotion(record_of(pattern))) return std::nullopt;
    ++promoted;
    return promote_pattern(record_of(pattern));
  };

  bool discover = true;
  if (batch.is_string()) {
    const json::Value lookup = lookup_fingerprint(batch.as_string());
    const json::Value& match = lookup.at("match");
    if (match.is_string() && match.as_string() == "knowledge") {
      const json::Object& artifact = record_of(lookup.at("artifact"));
      ++recognized;
      const json::Value* semantic = artifact.find("description_semantic");
      json::Object detail;
      detail.append("action", "recognized");
      detail.append("fingerprint", batch);
      detail.append("knowledge_id", artifact.at("knowledge_id"));
      detail.append("description", semantic != nullptr && json::truthy(*semantic)
                                       ? *semantic
                                       : field_or_null(artifact, "description_statistical"));
      details.push_back(std::move(detail));
      discover = false;
    } else if (match.is_string() && match.as_string() == "pattern") {
      const json::Object& artifact = record_of(lookup.at("artifact"));
      json::Array refs;
      for (const Signal& s : signals.signals()) {
        if (refs.size() == kMaxBatchRefs) break;
        if (s.ref != 0) refs.emplace_back(signals.refs().text(s.ref));
      }
      const std::string& pattern_id = text_of(artifact, "pattern_id");
      if (std::optional<std::string> knowledge_id = count_occurrence(pattern_id, refs, moving_refs)) {
        json::Object detail;
        detail.append("action", "promoted");
        detail.append("pattern_id", pattern_id);
        detail.append("knowledge_id", std::move(*knowledge_id));
        details.push_back(std::move(detail));
      }
      discover = false;
    }
  }

  if (discover) {
    std::vector<std::vector<std::uint32_t>> evidence;
    json::Array candidates = discover_cooccurrences(signals, &evidence);
    for (json::Value& c : discover_presence_patterns(signals, &evidence)) candidates.push_back(std::move(c));
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      json::Object& candidate = candidates[i].as_object();
      // Only this repository's own patterns count an occurrence: a community record a fleet wrote here
      // would otherwise absorb it, and the fleet replaces that record on its next run.
      json::Value existing = kb_.get_pattern_by_fingerprint(text_of(candidate, "fingerprint"), std::string_view("local"));
      if (!json::truthy(existing)) {
        const PatternKey key = pattern_key(candidate);
        const json::Value local = kb_.list_patterns("local", std::nullopt, std::nullopt);
        for (const json::Value& p : list_of(local)) {
          if (pattern_key(record_of(p)) == key) {
            existing = p;
            break;
          }
        }
      }
      if (json::truthy(existing)) {
        count_occurrence(text_of(record_of(existing), "pattern_id"), candidate.at("signal_refs").as_array(),
                         evidence[i]);
        continue;
      }
      const std::string pattern_id = kb_.create_pattern(candidate);
      ++discovered;
      candidate.append("pattern_id", pattern_id);
      const std::optional<std::string> semantic = interpret_pattern(candidate, explanations);
      if (semantic && !semantic->empty()) {
        json::Object update;
        update.append("description_semantic", *semantic);
        kb_.update_pattern(pattern_id, update);
        ++enriched;
      }
      json::Object detail;
      detail.append("action", "discovered");
      detail.append("pattern_id", pattern_id);
      detail.append("fingerprint", candidate.at("fingerprint"));
      detail.append("sources", candidate.at("sources"));
      detail.append("metrics", candidate.at("metrics"));
      detail.append("correlation", field_or_null(candidate, "correlation_strength"));
      detail.append("description_statistical", field_or_null(candidate, "description_statistical"));
      detail.append("description_semantic", semantic ? json::Value(*semantic) : json::Value());
      details.push_back(std::move(detail));
    }
  }

  if (counted) {
    std::vector<std::string> seen_now;
    for (std::uint32_t id = 1; id < unseen.size(); ++id) {
      if (unseen[id]) seen_now.push_back(signals.refs().text(id));
    }
    if (!seen_now.empty() || earlier_unlisted) kb_.add_counted_events(seen_now);
  }
  const json::Array expired = run_decay();
  const json::Value knowledge = kb_.list_knowledge("local");

  json::Object result;
  result.reserve(12);
  result.append("status", "complete");
  result.append("total_signals", static_cast<std::int64_t>(signals.size()));
  result.append("deviating_signals", static_cast<std::int64_t>(moving.size()));
  result.append("batch_fingerprint", batch);
  result.append("patterns_recognized", recognized);
  result.append("patterns_incremented", incremented);
  result.append("patterns_discovered", discovered);
  result.append("patterns_enriched", enriched);
  result.append("patterns_promoted", promoted);
  result.append("patterns_expired", static_cast<std::int64_t>(expired.size()));
  result.append("knowledge_artifacts", static_cast<std::int64_t>(list_of(knowledge).size()));
  result.append("details", std::move(details));
  json::Value out(std::move(result));
  files::write_atomic(layout_.phase4 / "phase4_summary.json", json::dumps(out, json::kPretty));
  return out;
}

}  // namespace varnel::patstage
