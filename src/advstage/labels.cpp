// Label lookups with the name itself as the fallback.
#include "advstage/labels.hpp"

#include <algorithm>

#include "advstage/fields.hpp"

namespace varnel::advstage {

namespace {

template <std::size_t N>
std::string lookup(const std::array<Label, N>& table, const json::Value& key) {
  if (key.is_string()) {
    const auto it = std::find_if(table.begin(), table.end(), [&](const Label& l) { return l.key == key.as_string(); });
    if (it != table.end()) return std::string(it->label);
  }
  return text_of(key);
}

}  // namespace

std::string family_label(const json::Value& family) { return lookup(kFamilyLabels, family); }

std::string metric_label(const json::Value& metric) { return lookup(kMetricLabels, metric); }

std::string_view canonical_metric(std::string_view metric) {
  return metric == "change_locality" ? std::string_view("dispersion") : metric;
}

}  // namespace varnel::advstage
