// The rolling-window judge.
#include "signal_emitter.hpp"

#include "common/errors.hpp"
#include "exact_moments.hpp"

namespace varnel::sig {

namespace {

[[noreturn]] void refuse_missing_map() {
  throw TypeMismatchError("a metrics map is None, not a dict");
}

}  // namespace

SignalEmitter::SignalEmitter(const Settings& settings, std::string engine_id, std::string source_type)
    : settings_(settings), engine_id_(std::move(engine_id)), source_type_(std::move(source_type)) {
  ring_.reserve(settings_.window_size);
}

void SignalEmitter::judge(const Metrics& metrics, const std::function<json::Value()>& event_ref) {
  if (ring_.size() < settings_.min_baseline) return;
  if (metrics.missing) refuse_missing_map();
  for (const Metric& metric : metrics.items) {
    if (metric.value.kind == MetricValue::Kind::Null) continue;
    // The window's values of this metric, oldest first.
    history_.clear();
    const MetricValue* unusable = nullptr;
    for (std::size_t k = 0; k < ring_.size(); ++k) {
      const Metrics& entry = ring_[(oldest_ + k) % ring_.size()];
      if (entry.missing) refuse_missing_map();
      const MetricValue* v = entry.find(metric.name);
      if (v == nullptr || v->kind == MetricValue::Kind::Null) continue;
      if (v->kind == MetricValue::Kind::Invalid) {
        unusable = unusable != nullptr ? unusable : v;
        history_.push_back(Num::integer(0));
        continue;
      }
      history_.push_back(v->number);
    }
    if (history_.size() < settings_.min_baseline) continue;
    if (unusable != nullptr) throw TypeMismatchError(unusable->problem);
    if (metric.value.kind == MetricValue::Kind::Invalid) throw TypeMismatchError(metric.value.problem);
    const Moments moments = exact_moments(history_);
    const double stddev = history_.size() == 1 ? 0.0 : moments.stddev;
    const Deviation robust = compute_robust_deviation(metric.value.number.to_double(), history_, scratch_);
    signals_.push_back(signal(names_.name(metric.name), metric.value.number, robust, moments.mean, stddev,
                              history_.size(), event_ref()));
  }
}

void SignalEmitter::remember(Metrics metrics) {
  if (ring_.size() < settings_.window_size) {
    ring_.push_back(std::move(metrics));
  } else {
    ring_[oldest_] = std::move(metrics);
    oldest_ = (oldest_ + 1) % ring_.size();
  }
}

json::Value SignalEmitter::signal(const std::string& metric, const Num& observed, const Deviation& robust,
                                  const Num& mean, double stddev, std::size_t samples, json::Value event_ref) const {
  json::Object window;
  window.append("type", "rolling");
  window.append("size", static_cast<std::int64_t>(settings_.window_size));
  json::Object baseline;
  baseline.append("mean", mean.to_json());
  baseline.append("stddev", stddev);
  baseline.append("median", robust.median.to_json());
  baseline.append("mad", robust.mad.to_json());
  json::Object deviation;
  deviation.append("measure", robust.measure.value_or(0.0));
  deviation.append("unit", std::string(robust.unit));
  deviation.append("degenerate", robust.degenerate);
  json::Object confidence;
  confidence.append("sample_count", static_cast<std::int64_t>(samples));
  confidence.append("status", samples >= settings_.window_size ? "sufficient" : "accumulating");
  json::Object record;
  record.reserve(9);
  record.append("engine_id", engine_id_);
  record.append("source_type", source_type_);
  record.append("metric", metric);
  record.append("window", std::move(window));
  record.append("baseline", std::move(baseline));
  record.append("observed", observed.to_json());
  record.append("deviation", std::move(deviation));
  record.append("confidence", std::move(confidence));
  record.append("event_ref", std::move(event_ref));
  return json::Value(std::move(record));
}

}  // namespace varnel::sig
