// varnel.explstage: the explanation engine, one plain-language sentence per
// signal, with the helper varnel.friendly bound at import.
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/friendly_port.hpp"
#include "bindings/nb.hpp"
#include "explstage/explanation_engine.hpp"
#include "explstage/summary_template.hpp"
#include "workspace/signal_files.hpp"

namespace vb = varnel::bindings;
namespace ve = varnel::explstage;
using varnel::json::Value;

NB_MODULE(explstage, m) {
  vb::register_error_translator();
  m.doc() = "Explanation engine: one plain-language sentence per signal, written to phase3/explanations.json.";

  static vb::FriendlyPort friendly;

  nb::dict signal_files;
  for (const varnel::workspace::SignalFile& file : varnel::workspace::kSignalFiles) {
    signal_files[vb::text_to_python(file.family)] = vb::text_to_python(file.file_name);
  }
  m.attr("SIGNAL_FILES") = signal_files;

  nb::class_<ve::ExplanationEngine>(m, "Phase3Engine",
                                    "Reads every Phase 2 signal of a workspace and explains each in one sentence.")
      .def(
          "__init__",
          [](ve::ExplanationEngine* self, nb::handle varnel_dir) {
            std::filesystem::path dir = vb::path_from_python(varnel_dir);
            nb::gil_scoped_release unlocked;
            new (self) ve::ExplanationEngine(std::move(dir));
          },
          nb::arg("varnel_dir"), "Sets the workspace paths and creates its phase3 directory.")
      .def_prop_ro("varnel_dir", [](const ve::ExplanationEngine& e) { return vb::path_to_python(e.varnel_dir()); })
      .def_prop_ro("phase2_path", [](const ve::ExplanationEngine& e) { return vb::path_to_python(e.phase2_path()); })
      .def_prop_ro("output_path", [](const ve::ExplanationEngine& e) { return vb::path_to_python(e.output_path()); })
      .def(
          "_load_signals",
          [](const ve::ExplanationEngine& e) {
            varnel::json::Array signals;
            {
              nb::gil_scoped_release unlocked;
              signals = e.load_signals();
            }
            return vb::to_python(Value(std::move(signals)));
          },
          "Every signal record of the workspace, in signal-file order.")
      .def(
          "_get_median",
          [](const ve::ExplanationEngine&, nb::handle signal) {
            return vb::to_python(ve::baseline_center(vb::from_python(signal)));
          },
          nb::arg("signal"), "The baseline's median when its MAD is positive, else its mean.")
      .def(
          "_direction",
          [](const ve::ExplanationEngine&, nb::handle signal) {
            return std::string(ve::direction(vb::from_python(signal)));
          },
          nb::arg("signal"), "'up' or 'down': the observed value against the baseline's center.")
      .def(
          "_template",
          [](const ve::ExplanationEngine&, nb::handle signal) { return ve::summary(vb::from_python(signal), friendly); },
          nb::arg("signal"), "The summary sentence of one signal.")
      .def(
          "_hash", [](const ve::ExplanationEngine&, nb::handle data) { return ve::explanation_hash(vb::from_python(data)); },
          nb::arg("data"), "64 hex digits of SHA-256 of the canonical JSON of data.")
      .def(
          "run",
          [](const ve::ExplanationEngine& e) {
            varnel::json::Array records;
            {
              nb::gil_scoped_release unlocked;
              records = e.run(friendly);
            }
            return vb::to_python(Value(std::move(records)));
          },
          "Explains every signal, writes phase3/explanations.json and returns the records.");
}
