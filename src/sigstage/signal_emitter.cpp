// The rolling-window judge.
#include "sigstage/signal_emitter.hpp"

#include "common/errors.hpp"
#include "pyexact/exact_moments.hpp"

namespace varnel::sig {

namespace {

[[noreturn]] void refuse_missing_map() {
  throw TypeMismatchError("a metrics map is None, not a dict");
}

}  // namespace

SignalEmitter::SignalEmitter(const Settings& settings, std::string engine_id, std::string source_type)
    : settings_(settings), engine_id_(std::move(engine_id)), source_type_(std::move(source_type)) {}

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
    const pyexact::Moments moments = pyexact::exact_moments(history_);
    const double stddev = history_.size() == 1 ? 0.0 : moments.stddev;
    const Deviation robust = compute_robust_deviation(metric.value.number.to_double(), history_, scratch_);
    signals_.push_back(Signal{metric.name, metric.value.number, moments.mean, stddev, robust.median, robust.mad,
                              robust.measure.value_or(0.0), robust.unit, robust.degenerate, history_.size(),
                              event_ref()});
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

SignalList SignalEmitter::take_signals() {
  SignalList list(std::move(engine_id_), std::move(source_type_), settings_.window_size, std::move(names_));
  for (Signal& s : signals_) list.push(std::move(s));
  signals_.clear();
  return list;
}

}  // namespace varnel::sig
