// The sentence table and the assembly of summary sentences.
#include "explstage/summary_template.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "common/errors.hpp"
#include "common/json_logic.hpp"
#include "common/number_format.hpp"

namespace varnel::explstage {

namespace {

using json::Value;

// A sentence about a measured value: `before`, the value in `form`, `after`,
// then " — " and the change phrase. An empty `form` shows no value.
struct MeasuredSentence {
  std::string_view metric;
  std::string_view form;
  std::string_view before;
  std::string_view after;
};

// A flag metric reads as one of two fixed sentences, without a change phrase.
struct FlagSentence {
  std::string_view metric;
  std::string_view when_set;
  std::string_view when_clear;
};

constexpr std::array<MeasuredSentence, 24> kMeasured{{
    {"files_touched", "plain", "This commit touched ", " files"},
    {"dispersion", "", "This change is spread across many parts of the codebase", ""},
    {"change_locality", ".2f", "The change locality for this commit was ", ""},
    {"cochange_novelty_ratio", ".2f", "The co-change novelty ratio was ", ""},
    {"run_duration", ".1f", "This CI build took ", " seconds"},
    {"total_tests", ".0f", "This test run executed ", " tests"},
    {"suite_duration", ".1f", "The test suite completed in ", " seconds"},
    {"skip_rate", ".2%", "The skip rate for this run was ", ""},
    {"dependency_count", ".0f", "This snapshot has ", " dependencies"},
    {"max_depth", ".0f", "The maximum dependency depth is ", ""},
    {"endpoint_count", ".0f", "This schema version has ", " endpoints"},
    {"type_count", ".0f", "This schema version defines ", " types"},
    {"field_count", ".0f", "This schema version contains ", " fields"},
    {"schema_churn", ".2f", "Schema churn was ", ""},
    {"release_cadence_hours", ".1f", "This release came ", " hours after the previous one"},
    {"asset_count", ".0f", "This release included ", " assets"},
    {"resource_count", ".0f", "This configuration manages ", " resources"},
    {"resource_type_count", ".0f", "This configuration uses ", " distinct resource types"},
    {"config_churn", ".0f", "Configuration churn was ", ""},
    {"event_count", ".0f", "This error has ", " occurrences"},
    {"user_count", ".0f", "This error affected ", " users"},
    {"vulnerability_count", ".0f", "This scan found ", " vulnerabilities"},
    {"critical_count", ".0f", "This scan found ", " critical vulnerabilities"},
    {"fixable_ratio", ".2%", "The fixable ratio is ", ""},
}};

constexpr std::array<FlagSentence, 3> kFlags{{
    {"run_failed", "This CI build failed.", "This CI build succeeded."},
    {"is_prerelease", "This was a pre-release.", "This was a stable release."},
    {"is_unhandled", "This is an unhandled exception.", "This error is handled."},
}};

constexpr std::string_view kDash = " \u2014 ";
constexpr std::string_view kCaution = " (based on limited history \u2014 may change as more data arrives)";

template <typename Row, std::size_t N>
const Row* find_row(const std::array<Row, N>& table, const Value& metric) {
  if (!metric.is_string()) return nullptr;
  const auto it = std::find_if(table.begin(), table.end(),
                               [&](const Row& row) { return row.metric == metric.as_string(); });
  return it == table.end() ? nullptr : &*it;
}

bool is_degenerate(const Value& signal) {
  const Value* deviation = signal.get("deviation");
  if (deviation == nullptr) return false;
  if (!deviation->is_object()) {
    throw TypeMismatchError(std::string("deviation must be an object, not ") + json::kind_name(deviation->kind()));
  }
  const Value* flag = deviation->get("degenerate");
  return flag != nullptr && json::truthy(*flag);
}

std::string degenerate_sentence(const Value& metric, const Value& observed, const Value& baseline,
                                const Value& window_size) {
  const Value* median = baseline.get("median");
  const Value& constant = median != nullptr ? *median : baseline.at("mean");
  std::string out = "Metric '";
  out += numfmt::plain(metric);
  out += "' was ";
  out += numfmt::plain(observed);
  out += ". Baseline was constant at ";
  out += numfmt::format_number(constant, ".4g");
  out += " across ";
  out += numfmt::plain(window_size);
  out += " observations. No meaningful deviation.";
  return out;
}

std::string table_sentence(const Value& metric, const Value& observed, const std::string& change) {
  if (const FlagSentence* flag = find_row(kFlags, metric)) {
    const bool set = json::compare_numbers(observed, Value(0), ">") > 0;
    return std::string(set ? flag->when_set : flag->when_clear);
  }
  std::string out;
  if (const MeasuredSentence* row = find_row(kMeasured, metric)) {
    out += row->before;
    if (!row->form.empty()) out += numfmt::format_number(observed, row->form);
    out += row->after;
  } else {
    out += "Metric '";
    out += numfmt::plain(metric);
    out += "' was ";
    out += numfmt::plain(observed);
  }
  out += kDash;
  out += change;
  out += '.';
  return out;
}

}  // namespace

const Value& baseline_center(const Value& signal) {
  const Value& baseline = signal.at("baseline");
  const Value* median = baseline.get("median");
  const Value* mad = baseline.get("mad");
  if (median != nullptr && !median->is_null() && mad != nullptr && !mad->is_null() &&
      json::compare_numbers(*mad, Value(0), ">") > 0) {
    return *median;
  }
  return baseline.at("mean");
}

std::string_view direction(const Value& signal) {
  const Value& observed = signal.at("observed");
  const Value& center = baseline_center(signal);
  const bool up = center.is_null() || json::equals_zero(center) ? json::compare_numbers(observed, Value(0), ">") > 0
                                                                 : json::compare_numbers(observed, center, ">=") >= 0;
  return up ? "up" : "down";
}

std::string summary(const Value& signal, vocab::PlainLanguage& helper) {
  const Value& metric = signal.at("metric");
  const Value& observed = signal.at("observed");
  const Value& baseline = signal.at("baseline");
  baseline.at("mean");  // required even when the median is the center
  const Value& window_size = signal.at("window").at("size");
  const Value& status = signal.at("confidence").at("status");

  const Value& center = baseline_center(signal);
  const std::string_view moved = direction(signal);
  const std::string change = helper.relative_change(observed, center);
  const std::optional<std::string> insight = helper.metric_insight(metric, moved);

  if (is_degenerate(signal)) return degenerate_sentence(metric, observed, baseline, window_size);

  std::string out = table_sentence(metric, observed, change);
  if (insight) {
    out += ' ';
    out += *insight;
  }
  if (!status.is_string() || status.as_string() != "sufficient") out += kCaution;
  return out;
}

}  // namespace varnel::explstage
