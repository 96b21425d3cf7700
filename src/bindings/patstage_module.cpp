// varnel.patstage: the pattern engine (Phase 4) for a Python host. The
// knowledge base is a varnel.lorekeep store object, which the engine drives
// through its C++ interface; the validation gate, the language-model
// clients and the logger are Python objects reached through ports.
#include <nanobind/stl/string_view.h>

#include <optional>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/nb.hpp"
#include "bindings/patstage_ports.hpp"
#include "common/errors.hpp"
#include "lorekeep/knowledge_store_base.hpp"
#include "patstage/fingerprint.hpp"
#include "patstage/pattern_engine.hpp"
#include "patstage/statistics.hpp"
#include "pyexact/iso_time.hpp"
#include "workspace/event_fields.hpp"

namespace vb = varnel::bindings;
namespace ps = varnel::patstage;
namespace json = varnel::json;
using varnel::lorekeep::KnowledgeStoreBase;

namespace {

PyObject* g_module = nullptr;  // this module, for the classes bound in it
vb::PythonLogger* g_log = nullptr;
vb::PythonClients* g_clients = nullptr;

// A Python number as a real (a bool counts as 0 or 1).
double number(nb::handle v) { return vb::from_python(v).to_double(); }

json::Object object_from_python(nb::handle v, const char* what) {
  json::Value value = vb::from_python(v);
  if (!value.is_object()) throw varnel::TypeMismatchError(std::string(what) + " must be a dict");
  return std::move(value.as_object());
}

json::Array array_from_python(nb::handle v, const char* what) {
  json::Value value = vb::from_python(v);
  if (!value.is_array()) throw varnel::TypeMismatchError(std::string(what) + " must be a list");
  return std::move(value.as_array());
}

std::vector<double> numbers(nb::handle values) {
  std::vector<double> out;
  for (nb::handle v : values) out.push_back(number(v));
  return out;
}

ps::SignalSet signal_set(json::Array records) {
  ps::SignalSet set;
  for (const json::Value& r : records) set.add(r);
  return set;
}

nb::object components_to_python(const std::vector<ps::Component>& components) {
  nb::list out;
  for (const ps::Component& c : components) {
    out.append(nb::make_tuple(vb::text_to_python(c.family), vb::text_to_python(c.metric),
                              vb::text_to_python(c.direction)));
  }
  return out;
}

std::vector<ps::Component> components_from_python(nb::handle components) {
  std::vector<ps::Component> out;
  for (nb::handle item : components) {
    json::Value triple = vb::from_python(item);
    const bool texts = triple.is_array() && triple.as_array().size() == 3 &&
                       std::all_of(triple.as_array().begin(), triple.as_array().end(),
                                   [](const json::Value& v) { return v.is_string(); });
    if (!texts) throw varnel::TypeMismatchError("a component must be a (family, metric, direction) triple of str");
    json::Array& t = triple.as_array();
    out.push_back({std::move(t[0].as_string()), std::move(t[1].as_string()), std::move(t[2].as_string())});
  }
  return out;
}

// The user's own environment file (never one found in the analysed
// repository); variables already set keep their values.
void load_env_file() { nb::module_::import_("varnel.envfile").attr("load_env_file")(); }

// `from <module> import <name>`, or None when that fails.
nb::object optional_class(const char* module, const char* name) {
  try {
    return nb::module_::import_(module).attr(name);
  } catch (nb::python_error& e) {
    if (e.matches(PyExc_ImportError) || e.matches(PyExc_AttributeError)) return nb::none();
    throw;
  }
}

nb::object llm_object(const std::shared_ptr<ps::LanguageModel>& llm) {
  const auto* model = dynamic_cast<const vb::PythonModel*>(llm.get());
  return model != nullptr ? model->client() : nb::none();
}

// A Phase4Engine as the host holds it: the core, the store object it drives
// and the gate object it asks.
class BoundEngine {
 public:
  BoundEngine(nb::handle varnel_dir, nb::handle params) {
    std::filesystem::path dir = vb::path_from_python(varnel_dir);
    const json::Object overrides = params.is_none() ? json::Object() : object_from_python(params, "params");
    auto open_store = [this](const std::filesystem::path& db_path) -> KnowledgeStoreBase& {
      nb::gil_scoped_acquire held;
      kb_ = nb::handle(g_module).attr("SQLiteKnowledgeStore")(vb::path_to_python(db_path));
      return nb::cast<KnowledgeStoreBase&>(kb_);
    };
    {
      nb::gil_scoped_release unlocked;
      core_.emplace(std::move(dir), overrides, open_store, ps::EnginePorts{*g_log, gate_, *g_clients});
    }
    gate_.gate = nb::handle(g_module).attr("ValidationGate")();
  }

  ps::PatternEngine& core() { return *core_; }
  const nb::object& kb() const { return kb_; }
  vb::PythonGate& gate() { return gate_; }

  // The Python objects the engine holds, for the cyclic collector: a gate
  // or a client that refers back to its engine must not keep both alive.
  int traverse(visitproc visit, void* arg) {
    Py_VISIT(kb_.ptr());
    Py_VISIT(gate_.gate.ptr());
    if (core_) Py_VISIT(llm_object(core_->llm()).ptr());
    return 0;
  }
  void clear() {
    gate_.gate.reset();
    if (core_) core_->set_llm(nullptr);
  }

 private:
  nb::object kb_;
  vb::PythonGate gate_;
  std::optional<ps::PatternEngine> core_;
};

// Runs `work` on the core without the GIL and converts its result with it.
template <class Work>
nb::object unlocked(Work work) {
  std::optional<json::Value> result;
  {
    nb::gil_scoped_release released;
    result.emplace(work());
  }
  return vb::to_python(*result);
}

int traverse_engine(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  return nb::inst_ptr<BoundEngine>(self)->traverse(visit, arg);
}

int clear_engine(PyObject* self) {
  if (nb::inst_ready(self)) nb::inst_ptr<BoundEngine>(self)->clear();
  return 0;
}

PyType_Slot engine_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(traverse_engine)},
                              {Py_tp_clear, reinterpret_cast<void*>(clear_engine)},
                              {0, nullptr}};

}  // namespace

NB_MODULE(patstage, m) {
  vb::register_error_translator();
  m.doc() = "Pattern engine: learns which metrics of different tools move together and keeps it in the knowledge base.";
  g_module = m.ptr();

  load_env_file();
  // Stores cross into C++ as the knowledge base's own classes, which its
  // module registers.
  m.attr("SQLiteKnowledgeStore") = nb::module_::import_("varnel.lorekeep").attr("SQLiteKnowledgeStore");
  m.attr("ValidationGate") = nb::module_::import_("varnel.validation_gate").attr("ValidationGate");
  m.attr("AnthropicClient") = optional_class("varnel.llm_anthropic", "AnthropicClient");
  m.attr("OpenRouterClient") = optional_class("varnel.llm_openrouter", "OpenRouterClient");
  g_log = new vb::PythonLogger("varnel.phase4");
  g_clients = new vb::PythonClients(m);

  m.attr("DEFAULT_PARAMS") = vb::to_python(json::Value(ps::default_params()));
  nb::dict signal_files;
  for (const ps::SignalFile& file : ps::kSignalFiles) {
    signal_files[vb::text_to_python(file.family)] = vb::text_to_python(file.file_name);
  }
  m.attr("SIGNAL_FILES") = signal_files;

  m.def(
      "classify_direction",
      [](nb::handle deviation, nb::handle threshold, nb::handle unit) {
        const bool degenerate = nb::isinstance<nb::str>(unit) && ps::is_degenerate_unit(vb::text_from_python(unit));
        const ps::Direction d = ps::classify_direction(number(deviation), number(threshold), degenerate);
        return std::string(ps::direction_name(d));
      },
      nb::arg("deviation"), nb::arg("threshold") = 1.0, nb::arg("unit") = "modified_zscore",
      "'increased' or 'decreased' beyond the threshold (strictly), else 'unchanged'; "
      "'unchanged' for a degenerate unit.");
  m.def(
      "compute_fingerprint",
      [](nb::handle components) {
        std::vector<ps::Component> list = components_from_python(components);
        nb::gil_scoped_release released;
        return ps::compute_fingerprint(std::move(list));
      },
      nb::arg("signal_components"), "16 hex digits identifying a list of (family, metric, direction) components.");
  m.def(
      "signals_to_components",
      [](nb::handle signals, nb::handle threshold) {
        json::Array records = array_from_python(signals, "signals");
        const double t = number(threshold);
        std::vector<ps::Component> components;
        {
          nb::gil_scoped_release released;
          components = ps::signals_to_components(records, t);
        }
        return components_to_python(components);
      },
      nb::arg("signals"), nb::arg("threshold") = 1.0,
      "One (family, metric, direction) per signal that moved beyond the threshold, in signal order.");

  using Engine = BoundEngine;
  nb::class_<Engine>(m, "Phase4Engine",
                     "Learns recurring co-deviation patterns from a workspace's signals and keeps them in the "
                     "knowledge base. Call run(), then close().",
                     nb::type_slots(engine_slots))
      .def(
          "__init__", [](Engine* self, nb::handle dir, nb::handle params) { new (self) Engine(dir, params); },
          nb::arg("varnel_dir"), nb::arg("params").none() = nb::none(),
          "Checks the parameters, creates phase4/, opens phase4/knowledge.db and reads the interpretation switches.")
      .def_prop_ro("varnel_dir", [](Engine& e) { return vb::path_to_python(e.core().varnel_dir()); })
      .def_prop_ro("phase2_path", [](Engine& e) { return vb::path_to_python(e.core().phase2_path()); })
      .def_prop_ro("phase3_path", [](Engine& e) { return vb::path_to_python(e.core().phase3_path()); })
      .def_prop_ro("output_path", [](Engine& e) { return vb::path_to_python(e.core().output_path()); })
      .def_prop_ro(
          "params", [](Engine& e) { return vb::to_python(json::Value(e.core().params().values)); },
          "The effective parameters (a copy).")
      .def_prop_ro("kb", [](Engine& e) { return e.kb(); }, "The knowledge base, a varnel.lorekeep store.")
      .def_prop_rw(
          "gate", [](Engine& e) { return e.gate().gate; },
          [](Engine& e, nb::object gate) { e.gate().gate = std::move(gate); }, "The validation gate.")
      .def_prop_rw(
          "_llm", [](Engine& e) { return llm_object(e.core().llm()); },
          [](Engine& e, nb::object client) {
            e.core().set_llm(client.is_none() ? nullptr : std::make_shared<vb::PythonModel>(std::move(client)));
          },
          "The interpretation client, None until first needed.")
      .def_prop_rw(
          "_llm_enabled", [](Engine& e) { return e.core().llm_enabled(); },
          [](Engine& e, bool on) { e.core().set_llm_enabled(on); })
      .def_prop_rw(
          "_llm_model", [](Engine& e) { return e.core().llm_model(); },
          [](Engine& e, std::string model) { e.core().set_llm_model(std::move(model)); })
      .def_prop_ro("_commit_index",
                   [](Engine& e) {
                     if (!e.core().has_commit_index()) throw nb::attribute_error("_commit_index");
                     return vb::to_python(json::Value(e.core().build_commit_index().to_json()));
                   })
      .def_prop_ro("_temporal_index",
                   [](Engine& e) {
                     if (!e.core().has_temporal_index()) throw nb::attribute_error("_temporal_index");
                     return vb::to_python(json::Value(e.core().build_temporal_index().to_json()));
                   })
      .def(
          "_load_all_signals", [](Engine& e) { return unlocked([&] { return e.core().load_all_signals(); }); },
          "Every signal record of the eight signal files read, in file order.")
      .def(
          "_load_explanations", [](Engine& e) { return unlocked([&] { return e.core().load_explanation_records(); }); },
          "Each signal reference's last explanation record.")
      .def_static(
          "_group_signals_by_event",
          [](nb::handle signals) {
            json::Array records = array_from_python(signals, "signals");
            return unlocked([&] { return ps::group_signals_by_event(std::move(records)); });
          },
          nb::arg("signals"), "The signals grouped by event_ref, in first-seen order of the references.")
      .def(
          "_build_commit_index",
          [](Engine& e) { return unlocked([&] { return e.core().build_commit_index().to_json(); }); },
          "event_id -> commit SHA of the workspace's events (read once per engine).")
      .def(
          "_build_temporal_index",
          [](Engine& e) { return unlocked([&] { return e.core().build_temporal_index().to_json(); }); },
          "event_id -> timestamp of the workspace's events (read once per engine).")
      .def_static(
          "_extract_event_timestamp",
          [](nb::handle ev) { return vb::to_python(varnel::workspace::event_time(vb::from_python(ev))); },
          nb::arg("ev"), "The event's real time: its commit or run time by type, else observed_at.")
      .def_static(
          "_time_bucket",
          [](nb::handle iso_ts, nb::handle window_hours) -> nb::object {
            const double width = number(window_hours);
            if (!nb::isinstance<nb::str>(iso_ts)) {
              if (!(width > 0)) throw varnel::InvalidValueError("window_hours must be a positive number");
              return nb::none();
            }
            const std::optional<std::int64_t> bucket = varnel::pyexact::time_bucket(vb::text_from_python(iso_ts), width);
            return bucket ? nb::object(nb::int_(*bucket)) : nb::none();
          },
          nb::arg("iso_ts").none(), nb::arg("window_hours"),
          "floor(hours since the epoch / window_hours) of an ISO timestamp (UTC unless it says otherwise), or None.")
      .def("_lookup_fingerprint",
           [](Engine& e, std::string fingerprint) {
             return unlocked([&] { return e.core().lookup_fingerprint(fingerprint); });
           },
           nb::arg("fingerprint"), "The fingerprint's local knowledge, else its local pattern, else no match.")
      .def_static(
          "_predominant_direction",
          [](nb::handle entries, nb::handle threshold) {
            return std::string(ps::direction_name(
                ps::predominant_direction(array_from_python(entries, "entries"), number(threshold))));
          },
          nb::arg("entries"), nb::arg("threshold"),
          "The direction most entries' deviations take; 'unchanged' on a tie.")
      .def(
          "_discover_cooccurrences",
          [](Engine& e, nb::handle signals) {
            json::Array records = array_from_python(signals, "signals");
            return unlocked([&] { return e.core().discover_cooccurrences(signal_set(std::move(records))); });
          },
          nb::arg("signals"), "Candidate patterns of metric pairs that move together.")
      .def_static(
          "_pearson",
          [](nb::handle xs, nb::handle ys) {
            const std::vector<double> a = numbers(xs);
            const std::vector<double> b = numbers(ys);
            ps::Logger* debug = g_log->enabled(ps::LogLevel::Debug) ? g_log : nullptr;
            nb::gil_scoped_release released;
            return ps::pearson(a, b, debug);
          },
          nb::arg("xs"), nb::arg("ys"), "Pearson's coefficient; 0.0 for fewer than two pairs or a constant series.")
      .def(
          "_discover_presence_patterns",
          [](Engine& e, nb::handle signals) {
            json::Array records = array_from_python(signals, "signals");
            return unlocked([&] { return e.core().discover_presence_patterns(signal_set(std::move(records))); });
          },
          nb::arg("signals"), "Candidate patterns of git metrics shifted by another family's presence on a commit.")
      .def(
          "_get_llm",
          [](Engine& e) {
            std::shared_ptr<ps::LanguageModel> llm;
            {
              nb::gil_scoped_release released;
              llm = e.core().get_llm();
            }
            return llm_object(llm);
          },
          "The interpretation client, made on first need; None when the layer is off or no client can be made.")
      .def(
          "_interpret_pattern",
          [](Engine& e, nb::handle pattern, nb::handle explanations_by_ref) -> nb::object {
            const json::Object p = object_from_python(pattern, "pattern");
            const ps::Explanations ex =
                ps::explanations_from_records(object_from_python(explanations_by_ref, "explanations_by_ref"));
            std::optional<std::string> semantic;
            {
              nb::gil_scoped_release released;
              semantic = e.core().interpret_pattern(p, ex);
            }
            return semantic ? nb::object(vb::text_to_python(*semantic)) : nb::none();
          },
          nb::arg("pattern"), nb::arg("explanations_by_ref"), "The model's one-sentence description, or None.")
      .def(
          "_check_promotion",
          [](Engine& e, nb::handle pattern) {
            const json::Object p = object_from_python(pattern, "pattern");
            nb::gil_scoped_release released;
            return e.core().check_promotion(p);
          },
          nb::arg("pattern"), "Whether the pattern has recurred enough to become knowledge now.")
      .def(
          "_promote_pattern",
          [](Engine& e, nb::handle pattern) {
            const json::Object p = object_from_python(pattern, "pattern");
            nb::gil_scoped_release released;
            return e.core().promote_pattern(p);
          },
          nb::arg("pattern"), "Stores the pattern's knowledge, marks it confirmed and returns the knowledge id.")
      .def(
          "_run_decay", [](Engine& e) { return unlocked([&] { return e.core().run_decay(); }); },
          "Expires patterns not seen for decay_window days, except confirmed ones; returns their ids.")
      .def(
          "run", [](Engine& e) { return unlocked([&] { return e.core().run(); }); },
          "The whole of Phase 4; writes phase4/phase4_summary.json and returns the result record.")
      .def(
          "close", [](Engine& e) { e.kb().attr("close")(); }, "Closes the knowledge base; the engine is done.");
}
