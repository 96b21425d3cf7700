// varnel.advstage: the advisory engine (Phase 5) and fix verification, with
// varnel.friendly bound at import and varnel.accepted / varnel.history
// reached through their ports.
#include <optional>
#include <unordered_set>

#include "advstage/advisory_engine.hpp"
#include "advstage/changes.hpp"
#include "advstage/event_facts.hpp"
#include "advstage/evidence.hpp"
#include "advstage/labels.hpp"
#include "advstage/pattern_matching.hpp"
#include "advstage/renderers.hpp"
#include "advstage/verification.hpp"
#include "bindings/glue/advisory_ports.hpp"
#include "bindings/glue/convert.hpp"
#include "bindings/glue/errors.hpp"
#include "bindings/glue/imports.hpp"
#include "bindings/glue/nb.hpp"
#include "bindings/glue/python_call.hpp"
#include "common/errors.hpp"
#include "vocab/tables.hpp"

namespace vb = varnel::bindings;
namespace va = varnel::advstage;
namespace json = varnel::json;
using json::Array;
using json::Value;

namespace {

// The helper's phrases, bound once at import.
va::AdvisoryLanguage& language() {
  static vb::AdvisoryFriendlyPort port;
  return port;
}

// References to every element of an array.
va::SignalRefs refs_of(const Array& signals) {
  va::SignalRefs refs;
  for (const Value& s : signals) refs.push_back(&s);
  return refs;
}

// A Python dict of events as an event map, keys in dict order.
va::EventMap events_from_python(const nb::dict& events) {
  va::EventMap out;
  for (auto [key, value] : events) out.put(vb::from_python(key), vb::from_python(value));
  return out;
}

// The items of a Python list at the given positions.
nb::list pick(const nb::list& items, const std::vector<std::size_t>& positions) {
  nb::list out;
  for (std::size_t i : positions) out.append(items[i]);
  return out;
}

// A collection of event ids (None: every event).
va::EventRefs event_refs_from_python(const std::optional<nb::iterable>& refs) {
  if (!refs) return std::nullopt;
  if (nb::isinstance<nb::str>(*refs)) {
    throw varnel::TypeMismatchError("event_refs must be a collection of event ids (str), or None");
  }
  std::unordered_set<std::string> ids;
  for (auto ref : *refs) ids.insert(nb::cast<std::string>(ref));
  return ids;
}

// The workspace's own accepted deviations.
nb::object workspace_accepted(const std::filesystem::path& varnel_dir) {
  return vb::import_module(vb::PythonModule::Accepted).attr("AcceptedDeviations")(varnel_dir);
}

// A Phase5Engine as the host holds it: the core and the accepted deviations
// it consults.
class Phase5Engine : public va::AdvisoryEngine {
 public:
  // The directory as pathlib spells it, so that the paths reported match
  // those a host builds from it.
  Phase5Engine(const std::filesystem::path& varnel_dir, double significance_threshold, nb::object accepted)
      : AdvisoryEngine(vb::pathlib_form(varnel_dir), significance_threshold),
        accepted_(accepted.is_none() ? workspace_accepted(AdvisoryEngine::varnel_dir()) : std::move(accepted)) {}

  const nb::object& accepted() const { return accepted_.object(); }
  void set_accepted(nb::object store) { accepted_ = vb::HostAcceptedDeviations(std::move(store)); }

  Value run(const std::string& scope, const std::optional<nb::iterable>& refs) {
    const va::EventRefs ids = event_refs_from_python(refs);
    vb::HostAdvisoryHistory history(std::nullopt);
    va::Outside outside{language(), accepted_, history};
    return vb::unlocked([&] { return AdvisoryEngine::run(scope, outside, ids); });
  }

  Value verify(const std::string& scope, const std::filesystem::path& previous,
               const std::optional<nb::iterable>& refs, std::optional<double> threshold) {
    const va::EventRefs ids = event_refs_from_python(refs);
    vb::HostAdvisoryHistory history(threshold);
    va::Outside outside{language(), accepted_, history};
    const std::string shown = vb::path_text(previous);
    return vb::unlocked([&] { return AdvisoryEngine::verify(scope, previous, shown, outside, ids); });
  }

 private:
  vb::HostAcceptedDeviations accepted_;
};

// Knowledge or stored patterns sharing a family and a metric with what moved.
template <Array (*match)(const va::Movement&, const Array&)>
Array matches(const Array& significant, const Array& known) {
  if (significant.empty() || known.empty()) return {};
  return match(va::movement_of(refs_of(significant)), known);
}

// A text rendered with the helper's phrases.
template <std::string (*render)(const Value&, va::AdvisoryLanguage&)>
std::string rendered(const Value& advisory) {
  return render(advisory, language());
}

}  // namespace

NB_MODULE(advstage, m) {
  vb::register_error_translator();
  m.doc() = "Advisory engine: the advisory, its evidence and texts in phase5/, and fix verification.";
  language();

  namespace vocab = varnel::vocab;
  m.attr("DEFAULT_SIGNIFICANCE_THRESHOLD") = va::kDefaultSignificanceThreshold;
  m.attr("SIGNAL_FILES") = vb::text_dict(vocab::kSignalFiles, &vocab::SignalFile::family, &vocab::SignalFile::file_name);
  m.attr("FAMILY_LABELS") = vb::text_dict(vocab::kFamilyLabels, &vocab::Label::key, &vocab::Label::label);
  m.attr("METRIC_LABELS") = vb::text_dict(vocab::kMetricLabels, &vocab::Label::key, &vocab::Label::label);

  using E = Phase5Engine;
  using Core = va::AdvisoryEngine;
  nb::class_<E>(m, "Phase5Engine", "Turns a workspace's signals, events and knowledge into an advisory.")
      .def(nb::init<const std::filesystem::path&, double, nb::object>(), nb::arg("varnel_dir"),
           nb::arg("significance_threshold") = va::kDefaultSignificanceThreshold, nb::kw_only(),
           nb::arg("accepted").none() = nb::none(),
           "Sets the workspace paths and creates phase5/. accepted: the accepted deviations run consults (an "
           "AcceptedDeviations of varnel.accepted), by default the workspace's own.")
      .def_prop_ro("varnel_dir", &Core::varnel_dir)
      .def_prop_ro("phase1_path", &Core::phase1_path)
      .def_prop_ro("phase2_path", &Core::phase2_path)
      .def_prop_ro("phase3_path", &Core::phase3_path)
      .def_prop_ro("phase4_path", &Core::phase4_path)
      .def_prop_ro("output_path", &Core::output_path)
      .def_prop_ro("significance_threshold", &Core::significance_threshold)
      .def("run", &E::run, nb::arg("scope") = "varnel-engine", nb::kw_only(), nb::arg("event_refs").none() = nb::none(),
           "Builds and writes the advisory of the workspace (of the events in event_refs only, when given); "
           "returns the run result.")
      .def("verify", &E::verify, nb::arg("scope"), nb::arg("previous_advisory_path"), nb::kw_only(),
           nb::arg("event_refs").none() = nb::none(), nb::arg("threshold").none() = nb::none(),
           "Runs again (over the events in event_refs only, when given), compares with the earlier advisory file "
           "and writes the verification report. A change flagged in both counts as a regression when its earlier "
           "latest deviation was below threshold (varnel.history's default when None) and it moved again.")
      // Kept for callers of the engine's internals.
      .def_prop_rw("_accepted_devs", &E::accepted, &E::set_accepted,
                   "The accepted deviations consulted by run (an AcceptedDeviations of varnel.accepted).")
      .def(
          "_load_signals", [](const E& e) { return e.load_signals(); }, vb::without_gil(),
          "Every signal record of the workspace, in signal-file order.")
      .def(
          "_load_explanations", [](const E& e) { return e.load_explanations().to_json(); }, vb::without_gil(),
          "Explanations by '<signal>:<family>:<metric>' and by '<family>:<metric>'.")
      .def(
          "_load_events",
          [](const E& e) {
            const va::EventMap events = vb::unlocked([&] { return e.load_events(); });
            nb::dict out;
            for (const auto& entry : events.entries()) out[vb::to_python(entry.id)] = vb::to_python(entry.event);
            return out;
          },
          "Phase 1 events by event_id (or file stem), in directory order.")
      .def("_load_phase4_knowledge", &Core::load_knowledge, vb::without_gil(),
           "The local knowledge of phase4/knowledge.db, [] without it.")
      .def(
          "_load_phase4_patterns",
          [](const E& e, std::optional<std::string> scope) { return e.load_patterns(scope); },
          nb::arg("scope").none() = nb::none(), vb::without_gil(),
          "The stored patterns of a scope (all when None), [] without phase4/knowledge.db.")
      .def(
          "_filter_significant",
          [](const E& e, const nb::list& signals) {
            const Array all = vb::from_python(signals).as_array();
            std::vector<std::size_t> positions;
            for (const Value* s : e.filter_significant(all)) {
              positions.push_back(static_cast<std::size_t>(s - all.data()));
            }
            return pick(signals, positions);
          },
          nb::arg("signals"), "The signals far enough from normal, in order.")
      .def_static(
          "_collect_evidence",
          [](const Array& significant, const nb::dict& events) {
            return va::collect_evidence(refs_of(significant), events_from_python(events));
          },
          nb::arg("significant_signals"), nb::arg("all_events"), "The evidence record of the significant signals.")
      .def_static("_match_patterns", &matches<va::match_knowledge>, nb::arg("significant_signals"),
                  nb::arg("knowledge"), "Knowledge sharing a family and a metric with what moved.")
      .def_static("_match_candidate_patterns", &matches<va::match_stored_patterns>, nb::arg("significant_signals"),
                  nb::arg("patterns"), "Stored patterns sharing a family and a metric with what moved.")
      .def_static("_group_by_trigger_event", &va::group_by_trigger_event, nb::arg("changes"),
                  "Event groups of the changes.")
      .def_static(
          "_get_commit_list", [](const nb::dict& events) { return va::commit_list(events_from_python(events)); },
          nb::arg("all_events"), "The workspace's commits ordered by observed_at.")
      .def_static(
          "_enrich_with_latest_deviation",
          [](const nb::list& changes, const Array& signals, const nb::dict& events) {
            // Adds the fields to the host's own change dicts.
            const Array records = vb::from_python(changes).as_array();
            const va::EventMap map = events_from_python(events);
            const va::SignalsByMetric by_metric(signals, records);
            for (std::size_t i = 0; i < records.size(); ++i) {
              std::optional<json::Object> fields = va::latest_deviation_fields(records[i], by_metric, map);
              if (!fields) continue;
              for (const auto& f : *fields) changes[i][vb::text_to_python(f.key)] = vb::to_python(f.value);
            }
          },
          nb::arg("changes"), nb::arg("all_signals"), nb::arg("all_events"),
          "Adds latest_deviation, latest_value, latest_event_ref and is_latest_event to the changes.")
      .def_static(
          "_format_change",
          [](const Value& signal, const nb::dict& explanations, const std::optional<nb::dict>& events) {
            va::ExplanationIndex index;
            for (auto [key, value] : explanations) {
              if (nb::isinstance<nb::str>(key)) index.set(vb::text_from_python(key), vb::from_python(value));
            }
            const va::EventMap map = events ? events_from_python(*events) : va::EventMap();
            return va::format_change(signal, index, events ? &map : nullptr);
          },
          nb::arg("signal"), nb::arg("explanations"), nb::arg("all_events").none() = nb::none(),
          "The change record of one significant signal.")
      .def_static("_format_human_summary", &rendered<va::human_summary>, nb::arg("advisory"),
                  "The text of summary.txt.")
      .def_static("_format_chat", &rendered<va::chat_message>, nb::arg("advisory"), "The text of chat.txt.")
      .def_static("_format_investigation_prompt", &va::investigation_prompt, nb::arg("advisory"),
                  "The text of investigation_prompt.txt.")
      .def_static(
          "_append_change_lines",
          [](nb::list lines, const Value& change, const std::string& indent) {
            std::vector<std::string> added;
            va::append_change_lines(added, change, indent, language());
            for (const std::string& line : added) lines.append(line);
          },
          nb::arg("lines"), nb::arg("change"), nb::arg("indent") = "", "Appends the lines of one change to lines.")
      .def_static("_fmt_value", &va::fmt_value, nb::arg("metric").none(), nb::arg("value").none(),
                  "A metric value as the reports show it.")
      .def_static(
          "_load_previous_advisory",
          [](const std::filesystem::path& file) {
            return va::decode_previous_advisory(va::snapshot_previous_advisory(file), file);
          },
          nb::arg("advisory_path"), vb::without_gil(), "The advisory record in a file (an object, or None).")
      .def_static(
          "_diff_advisories",
          [](const Value& before, const Value& after, std::optional<double> threshold) {
            vb::HostAdvisoryHistory history(threshold);
            return va::diff_advisories(before, after, history);
          },
          nb::arg("before").none(), nb::arg("after").none(), nb::kw_only(), nb::arg("threshold").none() = nb::none(),
          "varnel.history.diff_advisories(before, after, threshold=...), checked.")
      .def_static(
          "_format_verification_summary",
          [](const Value& before, const Value& after, const Value& diff) {
            return va::verification_summary(before, after, diff, language());
          },
          nb::arg("before"), nb::arg("after"), nb::arg("diff").none(), "The text of verification.txt.");

  // Kept for callers of the engine's internals.
  m.def("_content_hash", &va::content_hash, nb::arg("data").none(),
        "First 16 hex digits of SHA-256 of the canonical JSON of data.");
  m.def(
      "_dedup_and_limit_patterns",
      [](const nb::list& patterns, std::int64_t limit) {
        const Array matches = vb::from_python(patterns).as_array();
        return pick(patterns, va::dedup_and_limit_patterns(matches, limit, language()));
      },
      nb::arg("patterns"), nb::arg("limit") = va::kDefaultPatternLimit,
      "At most limit matches: the strongest per set of families and metrics, by severity then strength.");
}
