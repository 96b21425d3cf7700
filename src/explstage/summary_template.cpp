// The assembly of summary sentences from the vocabulary's sentence tables.
#include "explstage/summary_template.hpp"

#include <array>
#include <optional>

#include "common/errors.hpp"
#include "common/json_logic.hpp"
#include "common/number_format.hpp"
#include "vocab/baseline.hpp"
#include "vocab/lookup.hpp"

namespace varnel::explstage {

namespace {

using json::Value;

constexpr std::string_view kDash = " \u2014 ";
constexpr std::string_view kCaution = " (based on limited history \u2014 may change as more data arrives)";

// The sentence row of a metric, or nullptr for a metric the table lacks.
template <typename Row, std::size_t N>
const Row* sentence_of(const std::array<Row, N>& table, const Value& metric) {
  return metric.is_string() ? vocab::find(table, metric.as_string()) : nullptr;
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
  if (const vocab::FlagSentence* flag = sentence_of(vocab::kFlagSentences, metric)) {
    const bool set = json::compare_numbers(observed, Value(0), ">") > 0;
    return std::string(set ? flag->when_set : flag->when_clear);
  }
  std::string out;
  if (const vocab::MeasuredSentence* row = sentence_of(vocab::kMeasuredSentences, metric)) {
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

const Value& baseline_center(const Value& signal) { return vocab::baseline_center(signal.at("baseline")); }

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
