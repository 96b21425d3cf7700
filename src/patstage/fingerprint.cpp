// Directions, components and fingerprints.
#include "patstage/fingerprint.hpp"

#include <algorithm>

#include "common/content_id.hpp"
#include "common/errors.hpp"

namespace varnel::patstage {

std::string_view direction_name(Direction d) {
  switch (d) {
    case Direction::Increased: return "increased";
    case Direction::Decreased: return "decreased";
    case Direction::Unchanged: break;
  }
  return "unchanged";
}

Direction classify_direction(double deviation, double threshold, bool degenerate_unit) {
  if (degenerate_unit) return Direction::Unchanged;
  if (deviation > threshold) return Direction::Increased;
  if (deviation < -threshold) return Direction::Decreased;
  return Direction::Unchanged;
}

bool is_degenerate_unit(const json::Value& unit) { return unit.is_string() && unit.as_string() == "degenerate"; }

std::string compute_fingerprint(std::vector<Component> components) {
  std::sort(components.begin(), components.end());
  json::Array list;
  list.reserve(components.size());
  for (Component& c : components) {
    list.push_back(json::Array{std::move(c.family), std::move(c.metric), std::move(c.direction)});
  }
  // No component holds a map, so the canonical form is exactly the compact
  // form with the components in sorted order.
  return content_id(json::Value(std::move(list)), 16);
}

std::vector<Component> components_from_json(const json::Array& triples) {
  std::vector<Component> out;
  out.reserve(triples.size());
  for (const json::Value& triple : triples) {
    const bool texts = triple.is_array() && triple.as_array().size() == 3 &&
                       std::all_of(triple.as_array().begin(), triple.as_array().end(),
                                   [](const json::Value& v) { return v.is_string(); });
    if (!texts) throw TypeMismatchError("a component must be a (family, metric, direction) triple of str");
    const json::Array& t = triple.as_array();
    out.push_back({t[0].as_string(), t[1].as_string(), t[2].as_string()});
  }
  return out;
}

std::optional<Component> signal_component(const SignalSet& set, const Signal& s, double threshold) {
  if (s.degenerate || s.state == MeasureState::Null) return std::nullopt;
  const Direction d = classify_direction(s.measure, threshold, s.degenerate_unit);
  if (d == Direction::Unchanged) return std::nullopt;
  return Component{set.family(s), set.metric(s), std::string(direction_name(d))};
}

std::vector<Component> signals_to_components(const SignalSet& set, double threshold, std::vector<std::uint32_t>* refs) {
  std::vector<Component> out;
  for (const Signal& s : set.signals()) {
    if (std::optional<Component> c = signal_component(set, s, threshold)) {
      out.push_back(std::move(*c));
      if (refs != nullptr) refs->push_back(s.ref);
    }
  }
  return out;
}

std::vector<Component> signals_to_components(const json::Array& signals, double threshold) {
  SignalSet set;
  for (const json::Value& s : signals) set.add(s);
  return signals_to_components(set, threshold);
}

std::vector<Component> signals_to_components(std::span<const json::Value* const> signals, double threshold) {
  SignalSet set;
  for (const json::Value* s : signals) set.add(*s);
  return signals_to_components(set, threshold);
}

Direction predominant_direction(std::span<const double> deviations, double threshold) {
  std::size_t up = 0;
  std::size_t down = 0;
  for (double d : deviations) {
    const Direction dir = classify_direction(d, threshold);
    up += dir == Direction::Increased;
    down += dir == Direction::Decreased;
  }
  if (up > down) return Direction::Increased;
  if (down > up) return Direction::Decreased;
  return Direction::Unchanged;
}

Direction predominant_direction(const json::Array& entries, double threshold) {
  std::vector<double> deviations;
  deviations.reserve(entries.size());
  for (const json::Value& e : entries) deviations.push_back(e.at("deviation").to_double());
  return predominant_direction(deviations, threshold);
}

}  // namespace varnel::patstage
