// The JSON writers: the indented file form, the canonical form of content
// identifiers and the one-line form stored in the knowledge base. All escape
// every character outside ASCII and write reals in shortest round-trip form.
#pragma once

#include <string>
#include <string_view>

#include "common/json_value.hpp"

namespace varnel::json {

struct WriteStyle {
  int indent;                  // spaces per level; negative for one line
  std::string_view item_sep;   // between elements and members
  std::string_view key_sep;    // between a key and its value
  bool sort_keys;              // by code point at every level
};

// Indented file form: 2 spaces, "," at line ends, ": " after keys.
inline constexpr WriteStyle kPretty{2, ",", ": ", false};
// Canonical form of content identifiers: sorted keys, no whitespace.
inline constexpr WriteStyle kCanonical{-1, ",", ":", true};
// One-line form stored in the knowledge base: ", " and ": ".
inline constexpr WriteStyle kStored{-1, ", ", ": ", false};

// Appends the text of `value` in `style` to `out`.
void write(std::string& out, const Value& value, const WriteStyle& style);

// The text of `value` in `style`.
std::string dumps(const Value& value, const WriteStyle& style);

// Writes an array one element at a time, with the same bytes as writing the
// whole array at once, so that long lists need never be held as one value.
// The text goes to `out`, which the caller may drain between elements.
class ArrayWriter {
 public:
  ArrayWriter(std::string& out, const WriteStyle& style) : out_(out), style_(style) {}
  void element(const Value& value);
  // Closes the array ("[]" when it had no elements).
  void finish();

 private:
  std::string& out_;
  const WriteStyle& style_;
  bool empty_ = true;
};

}  // namespace varnel::json
