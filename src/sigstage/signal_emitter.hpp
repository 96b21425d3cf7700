// The rolling-window judge shared by every family: each event's metrics are
// judged against the values of the same metrics in the window's earlier
// events, then the event joins the window.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_value.hpp"
#include "sigstage/metrics.hpp"
#include "sigstage/robust_stats.hpp"
#include "sigstage/signal_list.hpp"

namespace varnel::sig {

struct Settings {
  std::size_t window_size = 50;
  std::size_t min_baseline = 5;
};

class SignalEmitter {
 public:
  SignalEmitter(const Settings& settings, std::string engine_id, std::string source_type);

  // The emitter's metric names; metrics refer to them by id.
  NameTable& names() { return names_; }

  // Appends one signal per metric of the event with enough history.
  // `event_ref` gives the signal's event_ref, asked only when one is made.
  void judge(const Metrics& metrics, const std::function<json::Value()>& event_ref);

  // Adds the event's metrics to the window, dropping the oldest when full.
  void remember(Metrics metrics);

  // The signals made, in order; the emitter is spent afterwards.
  SignalList take_signals();

 private:
  Settings settings_;
  std::string engine_id_;
  std::string source_type_;
  NameTable names_;
  std::vector<Metrics> ring_;
  std::size_t oldest_ = 0;
  std::vector<Num> history_;
  StatsScratch scratch_;
  std::vector<Signal> signals_;
};

}  // namespace varnel::sig
