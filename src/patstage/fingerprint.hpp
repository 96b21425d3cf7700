// The identity of a pattern: which metrics of which families moved, and
// which way. A fingerprint is the first 16 hexadecimal digits of the SHA-256
// of the sorted components' compact JSON, so any engine that fingerprints the
// same components (the advisory engine does) finds the same patterns.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_value.hpp"
#include "patstage/signal_set.hpp"

namespace varnel::patstage {

enum class Direction { Increased, Decreased, Unchanged };

// "increased", "decreased" or "unchanged".
std::string_view direction_name(Direction d);

// "increased" beyond +threshold, "decreased" beyond -threshold (both
// strict), else "unchanged"; always "unchanged" for a degenerate unit.
Direction classify_direction(double deviation, double threshold, bool degenerate_unit = false);

// Whether a deviation's unit is the text "degenerate".
bool is_degenerate_unit(const json::Value& unit);

// (family, metric, direction), ordered as triples of texts by code point.
struct Component {
  std::string family;
  std::string metric;
  std::string direction;
  friend auto operator<=>(const Component&, const Component&) = default;
};

// The fingerprint of the components, whatever their order (duplicates count).
std::string compute_fingerprint(std::vector<Component> components);

// Components as a host lists them: (family, metric, direction) triples of
// texts. Throws TypeMismatchError for any other item.
std::vector<Component> components_from_json(const json::Array& triples);

// The component of a signal that moved beyond `threshold`, or nothing for a
// degenerate signal, one without a measure, or one that did not move. A
// missing measure counts as 0.
std::optional<Component> signal_component(const SignalSet& set, const Signal& s, double threshold);

// One component per moving signal, in signal order; with `refs`, each one's
// event reference (a number of `set.refs()`) too.
std::vector<Component> signals_to_components(const SignalSet& set, double threshold,
                                             std::vector<std::uint32_t>* refs = nullptr);

// The same for signal records as a host holds them, or for references to
// records (the advisory engine's significant signals).
std::vector<Component> signals_to_components(const json::Array& signals, double threshold);
std::vector<Component> signals_to_components(std::span<const json::Value* const> signals, double threshold);

// "increased" when more deviations lie above +threshold than below
// -threshold, "decreased" for the reverse, "unchanged" on a tie.
Direction predominant_direction(std::span<const double> deviations, double threshold);

// The same for entries that each carry a numeric "deviation" (MissingKeyError
// or TypeMismatchError when one does not).
Direction predominant_direction(const json::Array& entries, double threshold);

}  // namespace varnel::patstage
