// The source families: labels, signal files and the metric formulas of the
// nine families judged by the generic emitter (git has its own runner).
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_value.hpp"
#include "sigstage/metrics.hpp"

namespace varnel::sig {

// Computes the metrics of one event; `file` names it in error messages.
using MetricFormula = Metrics (*)(const json::Value& event, const std::string& file);

struct Family {
  std::string_view key;          // engine_id and source_family
  std::string_view source_type;  // label written into every signal
  std::string_view signal_file;
  std::vector<std::string_view> metric_names;  // ids of the formula's metrics
  MetricFormula formula;                       // nullptr for git
};

inline constexpr std::size_t kFamilyCount = 10;

// All families in run order: git, ci, testing, coverage, dependency, schema,
// deployment, config, security, error_tracking.
const std::array<Family, kFamilyCount>& families();

}  // namespace varnel::sig
