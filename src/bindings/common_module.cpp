// varnel._common: the shared core's JSON, number and identifier forms, for
// tests and for the host.
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/nb.hpp"
#include "common/clock.hpp"
#include "common/content_id.hpp"
#include "common/json_reader.hpp"
#include "common/json_writer.hpp"
#include "common/number_format.hpp"
#include "common/one_line.hpp"

namespace vb = varnel::bindings;
using varnel::json::Value;

NB_MODULE(_common, m) {
  vb::register_error_translator();
  m.doc() = "JSON, number and identifier forms shared by every varnel engine.";

  m.def(
      "dumps_pretty", [](nb::handle obj) { return varnel::json::dumps(vb::from_python(obj), varnel::json::kPretty); },
      nb::arg("obj").none(), "Indented file form: 2 spaces, non-ASCII escaped, keys in insertion order.");
  m.def(
      "dumps_canonical",
      [](nb::handle obj) { return varnel::json::dumps(vb::from_python(obj), varnel::json::kCanonical); },
      nb::arg("obj").none(), "Canonical form of content identifiers: sorted keys, no whitespace.");
  m.def(
      "dumps_stored", [](nb::handle obj) { return varnel::json::dumps(vb::from_python(obj), varnel::json::kStored); },
      nb::arg("obj").none(), "One-line form with ', ' and ': ' separators, as stored in the knowledge base.");
  m.def(
      "content_id",
      [](nb::handle obj, std::size_t digits) { return varnel::content_id(vb::from_python(obj), digits); },
      nb::arg("obj").none(), nb::arg("digits") = 64, "First `digits` hex digits of SHA-256 of the canonical form.");
  m.def(
      "round_half_even",
      [](nb::handle x, int ndigits) { return vb::to_python(varnel::numfmt::round_value(vb::from_python(x), ndigits)); },
      nb::arg("x").none(), nb::arg("ndigits"), "Round to ndigits decimals on the exact value, ties to even; ints stay ints.");
  m.def(
      "format_number",
      [](nb::handle x, const std::string& form) {
        return vb::text_to_python(varnel::numfmt::format_number(vb::from_python(x), form));
      },
      nb::arg("x").none(), nb::arg("form"), "Text of x in 'plain', '.Nf', '.N%', '.Ng' or '%.Ng' form.");
  m.def(
      "loads",
      [](nb::handle text) {
        varnel::json::ReadOptions options;
        options.allow_surrogates = true;
        const std::string utf8 = vb::text_from_python(text);
        Value v;
        {
          nb::gil_scoped_release unlocked;
          v = varnel::json::parse(utf8, options);
        }
        return vb::to_python(v);
      },
      nb::arg("text"), "Parse JSON text (NaN and Infinity accepted).");
  m.def(
      "one_line", [](nb::handle text) { return vb::text_to_python(varnel::text::one_line(vb::text_from_python(text))); },
      nb::arg("text"), "Text as one line: control, format and white-space runs become one space, ends trimmed.");
  m.def("utc_timestamp", &varnel::utc_timestamp, "Current UTC time as YYYY-MM-DDTHH:MM:SS.ffffffZ.");
}
