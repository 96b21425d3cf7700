// The signal engine: turns the workspace's events into one signal file per
// source family, one family at a time or on a pool of worker threads.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/json_value.hpp"
#include "sigstage/event_catalog.hpp"
#include "sigstage/signal_emitter.hpp"
#include "sigstage/signal_list.hpp"
#include "workspace/layout.hpp"

namespace varnel::sig {

class SignalEngine {
 public:
  // Creates `varnel_dir`/phase2 (with missing parents). Throws
  // InvalidValueError for a window or minimum baseline below 1.
  SignalEngine(std::filesystem::path varnel_dir, std::int64_t window_size, std::int64_t min_baseline);

  const std::filesystem::path& varnel_dir() const { return layout_.root; }
  const std::filesystem::path& events_path() const { return layout_.events; }
  const std::filesystem::path& output_path() const { return layout_.phase2; }
  const Settings& settings() const { return settings_; }

  // Full events selected by the filters (empty selects all), in run order.
  std::vector<json::Value> load_events(const std::string& source_family, const std::string& source_type) const;

  // One event of a family as the runner measured it: its event_ref and its
  // metrics by name (null where not measured).
  using Measured = std::pair<json::Value, json::Object>;

  // Every event of the family named `family` in the runner's order with the
  // metrics the runner judged, also the events too early to be judged: hosts
  // rebuild any signal's earlier values from it. Writes no signal file. After
  // run_all or run_all_parallel it reads no file: the events that run read
  // are kept. Throws InvalidValueError for a name that is no family's.
  std::vector<Measured> metric_series(std::string_view family) const;

  // Runs one family on its own (index into families()); returns its signals
  // and writes its signal file as the family's rules say.
  SignalList run_family(std::size_t family) const;

  // Runs every family in order on the calling thread, reading each event
  // file once, and hands each family's signals to `on_done` as soon as they
  // are made (so they need not all be held at once); the first failure
  // propagates.
  void run_all(const std::function<void(std::size_t family, SignalList& signals)>& on_done) const;

  // The end of one family's task in the parallel run.
  struct Outcome {
    std::size_t family;
    std::optional<SignalList> signals;  // when it succeeded
    std::exception_ptr error;  // the failure otherwise
  };

  // Runs every family on `max_workers` threads named "p2-worker-N", reading
  // each event file once. `on_done` is called on the calling thread as each
  // family finishes, in order of completion; `poll` is called there every
  // so often and may throw to stop the run (pending work is dropped, running
  // work is waited for, and the exception propagates).
  void run_all_parallel(std::size_t max_workers, const std::function<void(Outcome&)>& on_done,
                        const std::function<void()>& poll) const;

 private:
  SignalList run_family(std::size_t family, const EventCatalog& catalog) const;
  SignalList run_git(const EventCatalog& catalog) const;
  SignalList run_metric_family(std::size_t family, const EventCatalog& catalog) const;
  // An empty list of the family's signals.
  SignalList no_signals(std::size_t family) const;

  workspace::Layout layout_;
  Settings settings_;
  // The events the latest run of every family read, for metric_series.
  mutable std::shared_ptr<const EventCatalog> read_;
};

}  // namespace varnel::sig
