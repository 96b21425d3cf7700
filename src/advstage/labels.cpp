// Label lookups with the name itself as the fallback.
#include "advstage/labels.hpp"

#include "advstage/fields.hpp"
#include "vocab/lookup.hpp"

namespace varnel::advstage {

namespace {

template <std::size_t N>
std::string lookup(const std::array<vocab::Label, N>& table, const json::Value& key) {
  if (key.is_string()) {
    if (const vocab::Label* found = vocab::find(table, key.as_string())) return std::string(found->label);
  }
  return text_of(key);
}

}  // namespace

std::string family_label(const json::Value& family) { return lookup(vocab::kFamilyLabels, family); }

std::string metric_label(const json::Value& metric) { return lookup(vocab::kMetricLabels, metric); }

std::string_view canonical_metric(std::string_view metric) {
  return metric == "change_locality" ? std::string_view("dispersion") : metric;
}

}  // namespace varnel::advstage
