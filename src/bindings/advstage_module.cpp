// varnel.advstage: the advisory engine (Phase 5) and fix verification, with
// varnel.friendly bound at import and varnel.accepted / varnel.history
// reached through their ports.
#include "advstage/advisory_engine.hpp"
#include "advstage/changes.hpp"
#include "advstage/event_facts.hpp"
#include "advstage/evidence.hpp"
#include "advstage/labels.hpp"
#include "advstage/pattern_matching.hpp"
#include "advstage/renderers.hpp"
#include "advstage/verification.hpp"
#include "bindings/advisory_ports.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/nb.hpp"
#include "common/errors.hpp"
#include "workspace/signal_files.hpp"

namespace vb = varnel::bindings;
namespace va = varnel::advstage;
using varnel::json::Array;
using varnel::json::Value;

namespace {

// The helper's phrases, bound once at import.
va::AdvisoryLanguage& language() {
  static vb::AdvisoryFriendlyPort port;
  return port;
}

vb::PythonAdvisoryHistory& history() {
  static vb::PythonAdvisoryHistory port;
  return port;
}

// UTF-8 text of a str argument; TypeError for anything else.
std::string text_argument(nb::handle obj, const char* name) {
  if (!PyUnicode_Check(obj.ptr())) {
    throw varnel::TypeMismatchError(std::string(name) + " must be str, not " + Py_TYPE(obj.ptr())->tp_name);
  }
  return vb::text_from_python(obj);
}

// A Python list as an array of JSON values.
Array array_from_python(nb::handle list, const char* name) {
  Value v = vb::from_python(list);
  if (!v.is_array()) throw varnel::TypeMismatchError(std::string(name) + " must be a list");
  return std::move(v.as_array());
}

// References to every element of an array.
va::SignalRefs refs_of(const Array& signals) {
  va::SignalRefs refs;
  for (const Value& s : signals) refs.push_back(&s);
  return refs;
}

// A Python dict of events as an event map, keys in dict order.
va::EventMap events_from_python(nb::handle events) {
  va::EventMap out;
  if (events.is_none()) return out;
  if (!PyDict_Check(events.ptr())) throw varnel::TypeMismatchError("all_events must be a dict");
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(events.ptr(), &pos, &key, &value)) out.put(vb::from_python(key), vb::from_python(value));
  return out;
}

// A Python dict of explanations by key as an explanation index.
va::ExplanationIndex explanations_from_python(nb::handle explanations) {
  va::ExplanationIndex out;
  if (!PyDict_Check(explanations.ptr())) throw varnel::TypeMismatchError("explanations must be a dict");
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(explanations.ptr(), &pos, &key, &value)) {
    if (PyUnicode_Check(key)) out.set(vb::text_from_python(key), vb::from_python(value));
  }
  return out;
}

nb::dict labels_dict(const auto& table) {
  nb::dict out;
  for (const va::Label& l : table) out[vb::text_to_python(l.key)] = vb::text_to_python(l.label);
  return out;
}

// The items of the Python list `source` at the given positions.
nb::list pick(nb::handle source, const std::vector<std::size_t>& positions) {
  nb::list items(source);
  nb::list out;
  for (std::size_t i : positions) out.append(items[i]);
  return out;
}

// Calls `f` with the GIL released and returns its result.
template <class F>
auto unlocked(F&& f) {
  nb::gil_scoped_release released;
  return f();
}

nb::list dedup_and_limit_patterns(nb::handle patterns, std::int64_t limit) {
  const Array matches = array_from_python(patterns, "patterns");
  return pick(patterns, va::dedup_and_limit_patterns(matches, limit, language()));
}

class Phase5Engine {
 public:
  Phase5Engine(nb::handle varnel_dir, double significance_threshold)
      : engine_(normalized(varnel_dir), significance_threshold),
        accepted_(nb::module_::import_("varnel.accepted").attr("AcceptedDeviations")(
            vb::path_to_python(engine_.varnel_dir()))) {}

  const va::AdvisoryEngine& engine() const { return engine_; }
  nb::object path(const std::filesystem::path& (va::AdvisoryEngine::*which)() const) const {
    return vb::path_to_python((engine_.*which)());
  }
  nb::object accepted_devs() const { return accepted_.object(); }
  void set_accepted_devs(nb::object store) { accepted_ = vb::PythonAcceptedDeviations(std::move(store)); }

  nb::object load_signals() const {
    return vb::to_python(Value(unlocked([&] { return engine_.load_signals(); })));
  }

  nb::dict load_explanations() const {
    const va::ExplanationIndex index = unlocked([&] { return engine_.load_explanations(); });
    nb::dict out;
    for (const auto& [key, record] : index.keys()) out[vb::text_to_python(*key)] = vb::to_python(index.record(record));
    return out;
  }

  nb::dict load_events() const {
    const va::EventMap events = unlocked([&] { return engine_.load_events(); });
    nb::dict out;
    for (const auto& entry : events.entries()) out[vb::to_python(entry.id)] = vb::to_python(entry.event);
    return out;
  }

  nb::object load_knowledge() const { return vb::to_python(unlocked([&] { return engine_.load_knowledge(); })); }

  nb::object load_patterns(nb::handle scope) const {
    std::optional<std::string> s;
    if (!scope.is_none()) s = text_argument(scope, "scope");
    return vb::to_python(unlocked([&] { return engine_.load_patterns(s); }));
  }

  nb::list filter_significant(nb::handle signals) const {
    const Array all = array_from_python(signals, "signals");
    std::vector<std::size_t> positions;
    for (const Value* s : engine_.filter_significant(all)) {
      positions.push_back(static_cast<std::size_t>(s - all.data()));
    }
    return pick(signals, positions);
  }

  static nb::object collect_evidence(nb::handle significant, nb::handle events) {
    const Array signals = array_from_python(significant, "significant_signals");
    return vb::to_python(va::collect_evidence(refs_of(signals), events_from_python(events)));
  }

  // Knowledge (or, with `stored`, stored patterns) matching the movement.
  template <bool stored>
  static nb::object match(nb::handle significant, nb::handle known) {
    const Array signals = array_from_python(significant, "significant_signals");
    const Array items = array_from_python(known, stored ? "patterns" : "knowledge");
    if (signals.empty() || items.empty()) return nb::list();
    const va::Movement moved = va::movement_of(refs_of(signals));
    return vb::to_python(Value(stored ? va::match_stored_patterns(moved, items) : va::match_knowledge(moved, items)));
  }

  static nb::object group_by_trigger_event(nb::handle changes) {
    return vb::to_python(Value(va::group_by_trigger_event(array_from_python(changes, "changes"))));
  }

  static nb::object commit_list(nb::handle events) {
    return vb::to_python(Value(va::commit_list(events_from_python(events))));
  }

  // Adds the latest-deviation fields to the host's own change dicts.
  static void enrich_with_latest_deviation(nb::handle changes, nb::handle signals, nb::handle events) {
    const Array records = array_from_python(changes, "changes");
    const Array all = array_from_python(signals, "all_signals");
    const va::EventMap map = events_from_python(events);
    const va::SignalsByMetric by_metric(all, records);
    nb::list targets(changes);
    for (std::size_t i = 0; i < records.size(); ++i) {
      std::optional<varnel::json::Object> fields = va::latest_deviation_fields(records[i], by_metric, map);
      if (!fields) continue;
      nb::handle change = targets[i];
      for (const auto& f : *fields) change[vb::text_to_python(f.key)] = vb::to_python(f.value);
    }
  }

  static nb::object format_change(nb::handle signal, nb::handle explanations, nb::handle events) {
    const va::ExplanationIndex index = explanations_from_python(explanations);
    const va::EventMap map = events_from_python(events);
    return vb::to_python(va::format_change(vb::from_python(signal), index, events.is_none() ? nullptr : &map));
  }

  static std::string human_summary(nb::handle advisory) {
    return va::human_summary(vb::from_python(advisory), language());
  }
  static std::string chat_message(nb::handle advisory) {
    return va::chat_message(vb::from_python(advisory), language());
  }
  static std::string investigation_prompt(nb::handle advisory) {
    return va::investigation_prompt(vb::from_python(advisory));
  }

  static void append_change_lines(nb::list lines, nb::handle change, nb::handle indent) {
    std::vector<std::string> added;
    va::append_change_lines(added, vb::from_python(change), text_argument(indent, "indent"), language());
    for (const std::string& line : added) lines.append(vb::text_to_python(line));
  }

  static std::string fmt_value(nb::handle metric, nb::handle value) {
    return va::fmt_value(vb::from_python(metric), vb::from_python(value));
  }

  // A collection of event ids (None: every event).
  static va::EventRefs event_refs_from_python(nb::handle refs) {
    if (refs.is_none()) return std::nullopt;
    if (!nb::isinstance<nb::iterable>(refs) || nb::isinstance<nb::str>(refs)) {
      throw varnel::TypeMismatchError("event_refs must be a collection of event ids (str), or None");
    }
    std::unordered_set<std::string> ids;
    for (nb::handle ref : refs) ids.insert(text_argument(ref, "event_refs"));
    return ids;
  }

  nb::object run(nb::handle scope, nb::handle refs) {
    const std::string label = text_argument(scope, "scope");
    const va::EventRefs ids = event_refs_from_python(refs);
    va::Outside outside{language(), accepted_, history()};
    return vb::to_python(unlocked([&] { return engine_.run(label, outside, ids); }));
  }

  nb::object verify(nb::handle scope, nb::handle previous, nb::handle refs) {
    const std::string label = text_argument(scope, "scope");
    // A path given as str or os.PathLike; its text is what the report shows.
    const std::string shown =
        text_argument(nb::module_::import_("os").attr("fspath")(previous), "previous_advisory_path");
    const std::filesystem::path file = vb::path_from_python(previous);
    const va::EventRefs ids = event_refs_from_python(refs);
    va::Outside outside{language(), accepted_, history()};
    return vb::to_python(unlocked([&] { return engine_.verify(label, file, shown, outside, ids); }));
  }

  static nb::object load_previous_advisory(nb::handle advisory_path) {
    const std::filesystem::path file = vb::path_from_python(advisory_path);
    return vb::to_python(
        unlocked([&] { return va::decode_previous_advisory(va::snapshot_previous_advisory(file), file); }));
  }

  static nb::object diff_advisories(nb::handle before, nb::handle after) {
    return vb::to_python(va::diff_advisories(vb::from_python(before), vb::from_python(after), history()));
  }

  static std::string verification_summary(nb::handle before, nb::handle after, nb::handle diff) {
    return va::verification_summary(vb::from_python(before), vb::from_python(after), vb::from_python(diff),
                                    language());
  }

 private:
  // The directory as pathlib spells it, so that the paths reported match
  // those a host builds from it.
  static std::filesystem::path normalized(nb::handle dir) {
    return vb::path_from_python(nb::module_::import_("pathlib").attr("Path")(dir));
  }

  va::AdvisoryEngine engine_;
  vb::PythonAcceptedDeviations accepted_;
};

}  // namespace

NB_MODULE(advstage, m) {
  vb::register_error_translator();
  m.doc() = "Advisory engine: the advisory, its evidence and texts in phase5/, and fix verification.";
  language();

  nb::dict signal_files;
  for (const auto& file : varnel::workspace::kSignalFiles) {
    signal_files[vb::text_to_python(file.family)] = vb::text_to_python(file.file_name);
  }
  m.attr("SIGNAL_FILES") = signal_files;
  m.attr("FAMILY_LABELS") = labels_dict(va::kFamilyLabels);
  m.attr("METRIC_LABELS") = labels_dict(va::kMetricLabels);

  m.def(
      "_content_hash", [](nb::handle data) { return va::content_hash(vb::from_python(data)); }, nb::arg("data").none(),
      "First 16 hex digits of SHA-256 of the canonical JSON of data.");
  m.def("_dedup_and_limit_patterns", &dedup_and_limit_patterns, nb::arg("patterns"),
        nb::arg("limit") = va::kDefaultPatternLimit,
        "At most limit matches: the strongest per set of families and metrics, by severity then strength.");

  using E = Phase5Engine;
  using Core = va::AdvisoryEngine;
  nb::class_<E>(m, "Phase5Engine", "Turns a workspace's signals, events and knowledge into an advisory.")
      .def(nb::init<nb::handle, double>(), nb::arg("varnel_dir"), nb::arg("significance_threshold") = 1.5,
           "Sets the workspace paths, creates phase5/ and opens the accepted deviations.")
      .def_prop_ro("varnel_dir", [](const E& e) { return e.path(&Core::varnel_dir); })
      .def_prop_ro("phase1_path", [](const E& e) { return e.path(&Core::phase1_path); })
      .def_prop_ro("phase2_path", [](const E& e) { return e.path(&Core::phase2_path); })
      .def_prop_ro("phase3_path", [](const E& e) { return e.path(&Core::phase3_path); })
      .def_prop_ro("phase4_path", [](const E& e) { return e.path(&Core::phase4_path); })
      .def_prop_ro("output_path", [](const E& e) { return e.path(&Core::output_path); })
      .def_prop_ro("significance_threshold", [](const E& e) { return e.engine().significance_threshold(); })
      .def_prop_rw("_accepted_devs", &E::accepted_devs, &E::set_accepted_devs,
                   "The accepted deviations consulted by run (an AcceptedDeviations of varnel.accepted).")
      .def("_load_signals", &E::load_signals, "Every signal record of the workspace, in signal-file order.")
      .def("_load_explanations", &E::load_explanations,
           "Explanations by '<signal>:<family>:<metric>' and by '<family>:<metric>'.")
      .def("_load_events", &E::load_events, "Phase 1 events by event_id (or file stem), in directory order.")
      .def("_load_phase4_knowledge", &E::load_knowledge, "The local knowledge of phase4/knowledge.db, [] without it.")
      .def("_load_phase4_patterns", &E::load_patterns, nb::arg("scope").none() = nb::none(),
           "The stored patterns of a scope (all when None), [] without phase4/knowledge.db.")
      .def("_filter_significant", &E::filter_significant, nb::arg("signals"),
           "The signals far enough from normal, in order.")
      .def_static("_collect_evidence", &E::collect_evidence, nb::arg("significant_signals"), nb::arg("all_events"),
                  "The evidence record of the significant signals.")
      .def_static("_match_patterns", &E::match<false>, nb::arg("significant_signals"), nb::arg("knowledge"),
                  "Knowledge sharing a family and a metric with what moved.")
      .def_static("_match_candidate_patterns", &E::match<true>, nb::arg("significant_signals"), nb::arg("patterns"),
                  "Stored patterns sharing a family and a metric with what moved.")
      .def_static("_group_by_trigger_event", &E::group_by_trigger_event, nb::arg("changes"),
                  "Event groups of the changes.")
      .def_static("_get_commit_list", &E::commit_list, nb::arg("all_events"),
                  "The workspace's commits ordered by observed_at.")
      .def_static("_enrich_with_latest_deviation", &E::enrich_with_latest_deviation, nb::arg("changes"),
                  nb::arg("all_signals"), nb::arg("all_events"),
                  "Adds latest_deviation, latest_value, latest_event_ref and is_latest_event to the changes.")
      .def_static("_format_change", &E::format_change, nb::arg("signal"), nb::arg("explanations"),
                  nb::arg("all_events").none() = nb::none(), "The change record of one significant signal.")
      .def_static("_format_human_summary", &E::human_summary, nb::arg("advisory"), "The text of summary.txt.")
      .def_static("_format_chat", &E::chat_message, nb::arg("advisory"), "The text of chat.txt.")
      .def_static("_format_investigation_prompt", &E::investigation_prompt, nb::arg("advisory"),
                  "The text of investigation_prompt.txt.")
      .def_static("_append_change_lines", &E::append_change_lines, nb::arg("lines"), nb::arg("change"),
                  nb::arg("indent") = "", "Appends the lines of one change to lines.")
      .def_static("_fmt_value", &E::fmt_value, nb::arg("metric").none(), nb::arg("value").none(),
                  "A metric value as the reports show it.")
      .def("run", &E::run, nb::arg("scope") = "varnel-engine", nb::kw_only(), nb::arg("event_refs").none() = nb::none(),
           "Builds and writes the advisory of the workspace (of the events in event_refs only, when given); "
           "returns the run result.")
      .def("verify", &E::verify, nb::arg("scope"), nb::arg("previous_advisory_path"), nb::kw_only(),
           nb::arg("event_refs").none() = nb::none(),
           "Runs again (over the events in event_refs only, when given), compares with the earlier advisory file "
           "and writes the verification report.")
      .def_static("_load_previous_advisory", &E::load_previous_advisory, nb::arg("advisory_path"),
                  "The advisory record in a file (an object, or None).")
      .def_static("_diff_advisories", &E::diff_advisories, nb::arg("before").none(), nb::arg("after").none(),
                  "varnel.history.diff_advisories(before, after), checked.")
      .def_static("_format_verification_summary", &E::verification_summary, nb::arg("before"), nb::arg("after"),
                  nb::arg("diff").none(), "The text of verification.txt.");
}
