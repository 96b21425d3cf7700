// The source families the signal engine judges: the vocabulary's labels,
// signal files and metric names, and the metric formulas of the families
// judged by the generic emitter (git has its own runner).
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_value.hpp"
#include "sigstage/metrics.hpp"
#include "vocab/tables.hpp"

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

inline constexpr std::size_t kFamilyCount = vocab::kJudgedFamilies.size();

// All families in the vocabulary's run order, git first.
const std::array<Family, kFamilyCount>& families();

}  // namespace varnel::sig
