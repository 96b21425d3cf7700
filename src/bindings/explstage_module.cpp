// varnel.explstage: the explanation engine, one plain-language sentence per
// signal, with the helper varnel.friendly bound at import.
#include "bindings/glue/errors.hpp"
#include "bindings/glue/friendly_port.hpp"
#include "bindings/glue/nb.hpp"
#include "bindings/glue/python_call.hpp"
#include "explstage/explanation_engine.hpp"
#include "explstage/summary_template.hpp"
#include "vocab/tables.hpp"

namespace vb = varnel::bindings;
namespace ve = varnel::explstage;
namespace json = varnel::json;
using Engine = ve::ExplanationEngine;

NB_MODULE(explstage, m) {
  vb::register_error_translator();
  m.doc() = "Explanation engine: one plain-language sentence per signal, written to phase3/explanations.json.";

  static vb::FriendlyPort friendly;
  m.attr("SIGNAL_FILES") =
      vb::text_dict(varnel::vocab::kSignalFiles, &varnel::vocab::SignalFile::family, &varnel::vocab::SignalFile::file_name);

  nb::class_<Engine>(m, "Phase3Engine", "Reads every Phase 2 signal of a workspace and explains each in one sentence.")
      .def(
          "__init__",
          [](Engine* self, std::filesystem::path dir) { vb::unlocked([&] { new (self) Engine(std::move(dir)); }); },
          nb::arg("varnel_dir"), "Sets the workspace paths and creates its phase3 directory.")
      .def_prop_ro("varnel_dir", &Engine::varnel_dir)
      .def_prop_ro("phase2_path", &Engine::phase2_path)
      .def_prop_ro("output_path", &Engine::output_path)
      .def(
          "run", [](const Engine& e) { return vb::unlocked([&] { return e.run(friendly); }); },
          "Explains every signal, writes phase3/explanations.json and returns the records.")
      .def(
          "write", [](const Engine& e) { return vb::unlocked([&] { return e.write(friendly); }); },
          "As run, asking varnel.friendly once per distinct question and holding no records: returns how many signals it explained.")
      // Kept for callers of the engine's internals.
      .def(
          "_load_signals", [](const Engine& e) { return vb::unlocked([&] { return e.load_signals(); }); },
          "Every signal record of the workspace, in signal-file order.")
      .def(
          "_get_median", [](const Engine&, const json::Value& signal) { return ve::baseline_center(signal); },
          nb::arg("signal"), "The baseline's median when its MAD is positive, else its mean.")
      .def(
          "_direction", [](const Engine&, const json::Value& signal) { return std::string(ve::direction(signal)); },
          nb::arg("signal"), "'up' or 'down': the observed value against the baseline's center.")
      .def(
          "_template", [](const Engine&, const json::Value& signal) { return ve::summary(signal, friendly); },
          nb::arg("signal"), "The summary sentence of one signal.")
      .def(
          "_hash", [](const Engine&, const json::Value& data) { return ve::explanation_hash(data); },
          nb::arg("data"), "64 hex digits of SHA-256 of the canonical JSON of data.");
}
