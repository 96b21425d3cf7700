// Display labels of source families and metrics (the vocabulary's
// vocab::kFamilyLabels and vocab::kMetricLabels), and the metric groups the
// reports treat alike. A family or metric without a label is shown by its
// own name.
#pragma once

#include <string>
#include <string_view>

#include "common/json_value.hpp"

namespace varnel::advstage {

// The label of a family, or its plain text when it has none.
std::string family_label(const json::Value& family);

// The label of a metric, or its plain text when it has none.
std::string metric_label(const json::Value& metric);

// The metric under which pattern de-duplication counts `metric`: locality
// is the same movement as dispersion; every other metric is itself.
std::string_view canonical_metric(std::string_view metric);

}  // namespace varnel::advstage
