// varnel.patstage: the pattern engine (Phase 4) for a Python host. The
// knowledge base is a varnel.lorekeep store object, which the engine drives
// through its C++ interface; the validation gate, the language-model
// clients and the logger are Python objects reached through ports.
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "bindings/glue/collected.hpp"
#include "bindings/glue/convert.hpp"
#include "bindings/glue/errors.hpp"
#include "bindings/glue/imports.hpp"
#include "bindings/glue/nb.hpp"
#include "bindings/glue/patstage_ports.hpp"
#include "bindings/glue/python_call.hpp"
#include "common/errors.hpp"
#include "lorekeep/knowledge_store_base.hpp"
#include "patstage/fingerprint.hpp"
#include "patstage/pattern_engine.hpp"
#include "patstage/statistics.hpp"
#include "pyexact/iso_time.hpp"
#include "vocab/tables.hpp"
#include "workspace/event_fields.hpp"

namespace vb = varnel::bindings;
namespace ps = varnel::patstage;
namespace json = varnel::json;
using varnel::lorekeep::KnowledgeStoreBase;

namespace {

nb::module_* g_module = nullptr;  // this module, for the classes bound in it
vb::HostLogger* g_log = nullptr;
vb::HostClients* g_clients = nullptr;

ps::SignalSet signal_set(const json::Array& records) {
  ps::SignalSet set;
  for (const json::Value& r : records) set.add(r);
  return set;
}

nb::list components_to_python(const std::vector<ps::Component>& components) {
  nb::list out;
  for (const ps::Component& c : components) out.append(nb::make_tuple(c.family, c.metric, c.direction));
  return out;
}

nb::object llm_object(const std::shared_ptr<ps::LanguageModel>& llm) {
  const auto* model = dynamic_cast<const vb::HostModel*>(llm.get());
  return model != nullptr ? model->client() : nb::none();
}

// The Python objects a Phase4Engine holds, made before its core: the store
// object the core drives and the gate object it asks. They are let go with
// the GIL, also when the engine fails to be made without it.
struct HeldObjects {
  ~HeldObjects() {
    nb::gil_scoped_acquire held;
    store.reset();
    gate.gate.reset();
  }
  nb::object store;
  vb::HostGate gate;
};

// A Phase4Engine as the host holds it. The core is made without the GIL,
// which opening the store takes back.
class BoundEngine : HeldObjects, public ps::PatternEngine {
 public:
  BoundEngine(std::filesystem::path varnel_dir, std::optional<json::Object> params)
      : ps::PatternEngine(std::move(varnel_dir), params.value_or(json::Object()), open_store(),
                          ps::EnginePorts{*g_log, gate, *g_clients}) {
    nb::gil_scoped_acquire held;
    gate.gate = g_module->attr("ValidationGate")();
  }

  const nb::object& store_object() const { return store; }
  nb::object gate_object() const { return gate.gate; }
  void set_gate_object(nb::object object) { gate.gate = std::move(object); }

  // The Python objects the engine holds, for the cyclic collector: a gate
  // or a client that refers back to its engine must not keep both alive.
  std::array<PyObject*, 3> held_objects() const { return {store.ptr(), gate.gate.ptr(), llm_object(llm()).ptr()}; }
  void drop_held_objects() {
    gate.gate.reset();
    set_llm(nullptr);
  }

 private:
  ps::StoreOpener open_store() {
    return [this](const std::filesystem::path& db_path) -> KnowledgeStoreBase& {
      nb::gil_scoped_acquire held;
      store = g_module->attr("SQLiteKnowledgeStore")(db_path);
      return nb::cast<KnowledgeStoreBase&>(store);
    };
  }
};

}  // namespace

NB_MODULE(patstage, m) {
  vb::register_error_translator();
  m.doc() = "Pattern engine: learns which metrics of different tools move together and keeps it in the knowledge base.";
  g_module = new nb::module_(m);

  // The user's own environment file (never one found in the analysed
  // repository); variables already set keep their values.
  vb::import_module(vb::PythonModule::EnvFile).attr("load_env_file")();
  // Stores cross into C++ as the knowledge base's own classes, which its
  // module registers.
  m.attr("SQLiteKnowledgeStore") = vb::import_module(vb::PythonModule::Lorekeep).attr("SQLiteKnowledgeStore");
  m.attr("ValidationGate") = vb::import_module(vb::PythonModule::ValidationGate).attr("ValidationGate");
  m.attr("AnthropicClient") = vb::import_optional(vb::PythonModule::LlmAnthropic, "AnthropicClient");
  m.attr("OpenRouterClient") = vb::import_optional(vb::PythonModule::LlmOpenRouter, "OpenRouterClient");
  g_log = new vb::HostLogger("varnel.phase4");
  g_clients = new vb::HostClients(m);

  m.attr("DEFAULT_PARAMS") = vb::to_python(json::Value(ps::default_params()));
  m.attr("SIGNAL_FILES") = vb::text_dict(varnel::vocab::kPatternSignalFiles, &varnel::vocab::SignalFile::family,
                                         &varnel::vocab::SignalFile::file_name);

  m.def(
      "classify_direction",
      [](double deviation, double threshold, const json::Value& unit) {
        const bool degenerate = unit.is_string() && ps::is_degenerate_unit(unit);
        return std::string(ps::direction_name(ps::classify_direction(deviation, threshold, degenerate)));
      },
      nb::arg("deviation"), nb::arg("threshold") = 1.0, nb::arg("unit") = "modified_zscore",
      "'increased' or 'decreased' beyond the threshold (strictly), else 'unchanged'; "
      "'unchanged' for a degenerate unit.");
  m.def(
      "compute_fingerprint",
      [](const json::Array& components) { return ps::compute_fingerprint(ps::components_from_json(components)); },
      nb::arg("signal_components"), vb::without_gil(),
      "16 hex digits identifying a list of (family, metric, direction) components.");
  m.def(
      "signals_to_components",
      [](const json::Array& signals, double threshold) {
        return components_to_python(vb::unlocked([&] { return ps::signals_to_components(signals, threshold); }));
      },
      nb::arg("signals"), nb::arg("threshold") = 1.0,
      "One (family, metric, direction) per signal that moved beyond the threshold, in signal order.");

  using Engine = BoundEngine;
  using Core = ps::PatternEngine;
  nb::class_<Engine>(m, "Phase4Engine",
                     "Learns recurring co-deviation patterns from a workspace's signals and keeps them in the "
                     "knowledge base. Call run(), then close().",
                     vb::Collected<Engine>::slots())
      .def(nb::init<std::filesystem::path, std::optional<json::Object>>(), nb::arg("varnel_dir"),
           nb::arg("params").none() = nb::none(), vb::without_gil(),
           "Checks the parameters, creates phase4/, opens phase4/knowledge.db and reads the interpretation switches.")
      .def_prop_ro("varnel_dir", &Core::varnel_dir)
      .def_prop_ro("phase2_path", &Core::phase2_path)
      .def_prop_ro("phase3_path", &Core::phase3_path)
      .def_prop_ro("output_path", &Core::output_path)
      .def_prop_ro(
          "params", [](const Engine& e) { return e.params().values; }, "The effective parameters (a copy).")
      .def_prop_ro("kb", &Engine::store_object, "The knowledge base, a varnel.lorekeep store.")
      .def_prop_rw("gate", &Engine::gate_object, &Engine::set_gate_object, "The validation gate.")
      .def_static("event_time", &varnel::workspace::event_time, nb::arg("event"),
                  "The event's real time: its commit or run time by type, else its observed_at (\"\" without one).")
      .def("run", &Core::run, vb::without_gil(),
           "The whole of Phase 4; writes phase4/phase4_summary.json and returns the result record.")
      .def(
          "close", [](const Engine& e) { e.store_object().attr("close")(); },
          "Closes the knowledge base; the engine is done.")
      // Kept for callers of the engine's internals.
      .def_prop_rw(
          "_llm", [](const Engine& e) { return llm_object(e.llm()); },
          [](Engine& e, nb::object client) {
            e.set_llm(client.is_none() ? nullptr : std::make_shared<vb::HostModel>(std::move(client)));
          },
          "The interpretation client, None until first needed.")
      .def_prop_rw("_llm_enabled", &Core::llm_enabled, &Core::set_llm_enabled)
      .def_prop_rw("_llm_model", &Core::llm_model, &Core::set_llm_model)
      .def_prop_ro("_commit_index",
                   [](Engine& e) {
                     if (!e.has_commit_index()) throw nb::attribute_error("_commit_index");
                     return e.build_commit_index().to_json();
                   })
      .def_prop_ro("_temporal_index",
                   [](Engine& e) {
                     if (!e.has_temporal_index()) throw nb::attribute_error("_temporal_index");
                     return e.build_temporal_index().to_json();
                   })
      .def("_load_all_signals", &Core::load_all_signals, vb::without_gil(),
           "Every signal record of the eight signal files read, in file order.")
      .def("_load_explanations", &Core::load_explanation_records, vb::without_gil(),
           "Each signal reference's last explanation record.")
      .def_static("_group_signals_by_event", &ps::group_signals_by_event, nb::arg("signals"), vb::without_gil(),
                  "The signals grouped by event_ref, in first-seen order of the references.")
      .def(
          "_build_commit_index", [](Engine& e) { return e.build_commit_index().to_json(); }, vb::without_gil(),
          "event_id -> commit SHA of the workspace's events (read once per engine).")
      .def(
          "_build_temporal_index", [](Engine& e) { return e.build_temporal_index().to_json(); }, vb::without_gil(),
          "event_id -> timestamp of the workspace's events (read once per engine).")
      .def_static("_extract_event_timestamp", &varnel::workspace::event_time, nb::arg("ev"),
                  "The event's real time: its commit or run time by type, else observed_at.")
      .def_static(
          "_time_bucket",
          [](const nb::object& iso_ts, double window_hours) -> std::optional<std::int64_t> {
            if (!nb::isinstance<nb::str>(iso_ts)) {
              if (!(window_hours > 0)) throw varnel::InvalidValueError("window_hours must be a positive number");
              return std::nullopt;
            }
            return varnel::pyexact::time_bucket(vb::text_from_python(iso_ts), window_hours);
          },
          nb::arg("iso_ts").none(), nb::arg("window_hours"),
          "floor(hours since the epoch / window_hours) of an ISO timestamp (UTC unless it says otherwise), or None.")
      .def("_lookup_fingerprint", &Core::lookup_fingerprint, nb::arg("fingerprint"), vb::without_gil(),
           "The fingerprint's local knowledge, else its local pattern, else no match.")
      .def_static(
          "_predominant_direction",
          [](const json::Array& entries, double threshold) {
            return std::string(ps::direction_name(ps::predominant_direction(entries, threshold)));
          },
          nb::arg("entries"), nb::arg("threshold"),
          "The direction most entries' deviations take; 'unchanged' on a tie.")
      .def(
          "_discover_cooccurrences",
          [](Engine& e, const json::Array& signals) { return e.discover_cooccurrences(signal_set(signals)); },
          nb::arg("signals"), vb::without_gil(), "Candidate patterns of metric pairs that move together.")
      .def_static(
          "_pearson",
          [](const std::vector<double>& xs, const std::vector<double>& ys) {
            ps::Logger* debug = g_log->enabled(ps::LogLevel::Debug) ? g_log : nullptr;
            return vb::unlocked([&] { return ps::pearson(xs, ys, debug); });
          },
          nb::arg("xs"), nb::arg("ys"), "Pearson's coefficient; 0.0 for fewer than two pairs or a constant series.")
      .def(
          "_discover_presence_patterns",
          [](Engine& e, const json::Array& signals) { return e.discover_presence_patterns(signal_set(signals)); },
          nb::arg("signals"), vb::without_gil(),
          "Candidate patterns of git metrics shifted by another family's presence on a commit.")
      .def(
          "_get_llm", [](Engine& e) { return llm_object(vb::unlocked([&] { return e.get_llm(); })); },
          "The interpretation client, made on first need; None when the layer is off or no client can be made.")
      .def(
          "_interpret_pattern",
          [](Engine& e, const json::Object& pattern, const json::Object& explanations_by_ref) {
            return e.interpret_pattern(pattern, ps::explanations_from_records(explanations_by_ref));
          },
          nb::arg("pattern"), nb::arg("explanations_by_ref"), vb::without_gil(),
          "The model's one-sentence description, or None.")
      .def("_check_promotion", &Core::check_promotion, nb::arg("pattern"), vb::without_gil(),
           "Whether the pattern has recurred enough to become knowledge now.")
      .def("_promote_pattern", &Core::promote_pattern, nb::arg("pattern"), vb::without_gil(),
           "Stores the pattern's knowledge, marks it confirmed and returns the knowledge id.")
      .def("_run_decay", &Core::run_decay, vb::without_gil(),
           "Expires patterns not seen for decay_window days, except confirmed ones; returns their ids.");
}
