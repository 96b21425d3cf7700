// varnel._common: the shared core's JSON, number and identifier forms, for
// tests and for the host, and the list of the Python modules the engines call.
#include "bindings/glue/convert.hpp"
#include "bindings/glue/errors.hpp"
#include "bindings/glue/imports.hpp"
#include "bindings/glue/nb.hpp"
#include "bindings/glue/python_call.hpp"
#include "common/clock.hpp"
#include "common/content_id.hpp"
#include "common/json_reader.hpp"
#include "common/json_writer.hpp"
#include "common/number_format.hpp"
#include "common/one_line.hpp"
#include "workspace/event_cache.hpp"
#include "workspace/event_files.hpp"

namespace vb = varnel::bindings;
namespace json = varnel::json;

namespace {

namespace ws = varnel::workspace;

// The text of a value in one of the writer's forms.
auto dumps(const json::WriteStyle& style) {
  return [&style](const json::Value& obj) { return json::dumps(obj, style); };
}

}  // namespace

NB_MODULE(_common, m) {
  vb::register_error_translator();
  m.doc() = "JSON, number and identifier forms shared by every varnel engine.";
  m.attr("PYTHON_MODULES") = vb::python_module_names();

  m.def("dumps_pretty", dumps(json::kPretty), nb::arg("obj").none(),
        "Indented file form: 2 spaces, non-ASCII escaped, keys in insertion order.");
  m.def("dumps_canonical", dumps(json::kCanonical), nb::arg("obj").none(),
        "Canonical form of content identifiers: sorted keys, no whitespace.");
  m.def("dumps_stored", dumps(json::kStored), nb::arg("obj").none(),
        "One-line form with ', ' and ': ' separators, as stored in the knowledge base.");
  m.def("content_id", &varnel::content_id, nb::arg("obj").none(), nb::arg("digits") = 64,
        "First `digits` hex digits of SHA-256 of the canonical form.");
  m.def("round_half_even", &varnel::numfmt::round_value, nb::arg("x").none(), nb::arg("ndigits"),
        "Round to ndigits decimals on the exact value, ties to even; ints stay ints.");
  m.def(
      "format_number",
      [](const json::Value& x, const std::string& form) { return varnel::numfmt::format_number(x, form); },
      nb::arg("x").none(), nb::arg("form"), "Text of x in 'plain', '.Nf', '.N%', '.Ng' or '%.Ng' form.");
  m.def(
      "loads",
      [](const std::string& text) {
        json::ReadOptions options;
        options.allow_surrogates = true;
        return vb::unlocked([&] { return json::parse(text, options); });
      },
      nb::arg("text"), "Parse JSON text (NaN and Infinity accepted).");
  m.def(
      "one_line", [](const std::string& text) { return varnel::text::one_line(text); }, nb::arg("text"),
      "Text as one line: control, format and white-space runs become one space, ends trimmed.");
  m.def("utc_timestamp", &varnel::utc_timestamp, "Current UTC time as YYYY-MM-DDTHH:MM:SS.ffffffZ.");

  m.def(
      "refresh_event_cache",
      [](nb::handle events_dir, nb::handle previous, nb::handle target) {
        const std::filesystem::path dir = vb::path_from_python(events_dir), earlier = vb::path_from_python(previous),
                                    out = vb::path_from_python(target);
        const auto done = vb::unlocked([&] { return ws::refresh_event_cache(dir, earlier, out); });
        nb::dict counts;
        counts["reused"] = done.reused;
        counts["parsed"] = done.parsed;
        counts["left_out"] = done.left_out;
        return counts;
      },
      nb::arg("events_dir"), nb::arg("previous"), nb::arg("target"),
      "Writes at `target` the parsed-event cache of every event file of `events_dir`, taking the entries of "
      "unchanged files from the cache at `previous`; how many entries were reused, parsed and left out.");
  m.def(
      "cached_events",
      [](nb::handle events_dir, std::optional<std::vector<std::string>> names, nb::handle cache) {
        const std::filesystem::path dir = vb::path_from_python(events_dir);
        const ws::EventReader reader(dir, cache.is_none() ? std::filesystem::path() : vb::path_from_python(cache));
        nb::dict out;
        vb::PythonBuilder build;
        for (const std::string& name : names ? *names : ws::list_event_files(dir)) {
          if (const auto event = reader.cached(name)) out[vb::text_to_python(name)] = build.convert(*event);
        }
        return out;
      },
      nb::arg("events_dir"), nb::arg("names").none() = nb::none(), nb::arg("cache").none() = nb::none(),
      "The events the cache holds for the event files of `events_dir` as they are now, by file name: of the "
      "files `names` (every event file when None), through the cache file `cache` (the workspace's when "
      "None); a file the cache does not hold as it is now is left out.");
}
