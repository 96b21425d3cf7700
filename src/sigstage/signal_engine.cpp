// The signal engine's runners and orchestration.
#include "sigstage/signal_engine.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "sigstage/git_metrics.hpp"

namespace varnel::sig {

namespace {

FamilySet only(std::size_t family) {
  FamilySet s;
  s.set(family);
  return s;
}

json::Value event_ref_or_empty(const CatalogEvent& e) { return e.event_id ? *e.event_id : json::Value(""); }

// The emitter of a family, with the family's metric names interned in order.
SignalEmitter emitter_for(const Settings& settings, const Family& f) {
  SignalEmitter emitter(settings, std::string(f.key), std::string(f.source_type));
  for (std::string_view name : f.metric_names) emitter.names().intern(name);
  return emitter;
}

}  // namespace

SignalEngine::SignalEngine(std::filesystem::path varnel_dir, std::int64_t window_size, std::int64_t min_baseline)
    : layout_(std::move(varnel_dir)) {
  if (window_size < 1) throw InvalidValueError("window_size must be at least 1, not " + std::to_string(window_size));
  if (min_baseline < 1) {
    throw InvalidValueError("min_baseline must be at least 1, not " + std::to_string(min_baseline));
  }
  settings_.window_size = static_cast<std::size_t>(window_size);
  settings_.min_baseline = static_cast<std::size_t>(min_baseline);
  files::make_dirs(layout_.phase2);
}

std::vector<json::Value> SignalEngine::load_events(const std::string& source_family,
                                                   const std::string& source_type) const {
  return sig::load_events(layout_.events, source_family, source_type);
}

SignalList SignalEngine::no_signals(std::size_t family) const {
  const Family& f = families()[family];
  return SignalList(std::string(f.key), std::string(f.source_type), settings_.window_size, NameTable());
}

SignalList SignalEngine::run_metric_family(std::size_t family, const EventCatalog& catalog) const {
  const std::vector<const CatalogEvent*> events = catalog.select(family);
  if (events.empty()) return no_signals(family);
  SignalEmitter emitter = emitter_for(settings_, families()[family]);
  for (const CatalogEvent* e : events) {
    const FamilyView& view = *e->view(family);
    if (view.error) std::rethrow_exception(view.error);
    emitter.judge(view.metrics, [e] { return event_ref_or_empty(*e); });
    emitter.remember(view.metrics);
  }
  SignalList signals = emitter.take_signals();
  signals.write(layout_.phase2 / std::string(families()[family].signal_file));
  return signals;
}

SignalList SignalEngine::run_git(const EventCatalog& catalog) const {
  const std::vector<const CatalogEvent*> events = catalog.select(0);
  SignalEmitter emitter = emitter_for(settings_, families()[0]);
  GitWindow window(settings_.window_size);
  for (const CatalogEvent* e : events) {
    const FamilyView& view = *e->view(0);
    if (view.error) std::rethrow_exception(view.error);
    Metrics metrics = window.measure(view.files);
    // Git signals must point at their commit's event.
    emitter.judge(metrics, [e] {
      if (!e->event_id) throw MissingKeyError("event_id");
      return *e->event_id;
    });
    emitter.remember(std::move(metrics));
    window.remember();
  }
  SignalList signals = emitter.take_signals();
  signals.write(layout_.phase2 / std::string(families()[0].signal_file));
  return signals;
}

std::vector<SignalEngine::Measured> SignalEngine::metric_series(std::string_view name) const {
  const auto& all = families();
  std::size_t family = 0;
  while (family < all.size() && all[family].key != name) ++family;
  if (family == all.size()) throw InvalidValueError("no family named " + std::string(name));
  std::shared_ptr<const EventCatalog> catalog = read_;
  if (!catalog) {
    auto fresh = std::make_shared<EventCatalog>(layout_.events, only(family));
    fresh->load_all();
    catalog = std::move(fresh);
  }
  std::vector<Measured> out;
  GitWindow window(settings_.window_size);
  // The metrics by name, as the runner judged them.
  auto named = [&](const Metrics& metrics) {
    json::Object values;
    for (const Metric& m : metrics.items) {
      const bool number = m.value.kind == MetricValue::Kind::Number;
      values.append(std::string(all[family].metric_names[m.name]), number ? m.value.number.to_json() : json::Value());
    }
    return values;
  };
  for (const CatalogEvent* e : catalog->select(family)) {
    const FamilyView& view = *e->view(family);
    if (view.error) std::rethrow_exception(view.error);
    if (family == 0) {
      out.emplace_back(event_ref_or_empty(*e), named(window.measure(view.files)));
      window.remember();
    } else {
      out.emplace_back(event_ref_or_empty(*e), named(view.metrics));
    }
  }
  return out;
}

SignalList SignalEngine::run_family(std::size_t family, const EventCatalog& catalog) const {
  return family == 0 ? run_git(catalog) : run_metric_family(family, catalog);
}

SignalList SignalEngine::run_family(std::size_t family) const {
  EventCatalog catalog(layout_.events, only(family));
  catalog.load_all();
  return run_family(family, catalog);
}

void SignalEngine::run_all(const std::function<void(std::size_t family, SignalList& signals)>& on_done) const {
  auto catalog = std::make_shared<EventCatalog>(layout_.events, FamilySet().set());
  catalog->load_all();
  read_ = catalog;
  for (std::size_t f = 0; f < kFamilyCount; ++f) {
    SignalList signals = run_family(f, *catalog);
    on_done(f, signals);
  }
}

void SignalEngine::run_all_parallel(std::size_t max_workers, const std::function<void(Outcome&)>& on_done,
                                    const std::function<void()>& poll) const {
  if (max_workers < 1) throw InvalidValueError("max_workers must be greater than 0");
  auto kept = std::make_shared<EventCatalog>(layout_.events, FamilySet().set());
  EventCatalog& catalog = *kept;

  // Workers first share the reading of the event files, then take the
  // families in table order; finished families queue up for the caller.
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Outcome> finished;
  std::atomic<bool> cancelled{false};
  std::atomic<std::size_t> next_file{0};
  std::atomic<std::size_t> next_family{0};
  // More threads than families would only wait.
  const std::size_t workers = std::min(max_workers, kFamilyCount);
  std::size_t loading = workers;
  bool loaded = false;

  auto worker = [&](std::size_t index) {
    const std::string name = "p2-worker-" + std::to_string(index);
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    for (std::size_t i = next_file++; i < catalog.size() && !cancelled; i = next_file++) catalog.load(i);
    {
      std::unique_lock lock(mutex);
      if (--loading == 0) {
        loaded = true;
        changed.notify_all();
      }
      changed.wait(lock, [&] { return loaded; });
    }
    for (std::size_t f = next_family++; f < kFamilyCount && !cancelled; f = next_family++) {
      Outcome outcome{f, std::nullopt, nullptr};
      try {
        outcome.signals = run_family(f, catalog);
      } catch (...) {
        outcome.error = std::current_exception();
      }
      std::lock_guard lock(mutex);
      finished.push_back(std::move(outcome));
      changed.notify_all();
    }
  };

  std::vector<std::thread> pool;
  pool.reserve(workers);
  auto stop = [&] {
    cancelled = true;
    for (std::thread& th : pool) th.join();
  };
  try {
    for (std::size_t t = 0; t < workers; ++t) pool.emplace_back(worker, t);
  } catch (...) {
    // The threads that did start must not wait for the ones that did not.
    {
      std::lock_guard lock(mutex);
      loading -= workers - pool.size();
      cancelled = true;
      if (loading == 0) loaded = true;
      changed.notify_all();
    }
    stop();
    throw;
  }

  std::size_t reported = 0;
  try {
    while (reported < kFamilyCount) {
      std::deque<Outcome> ready;
      {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return !finished.empty(); });
        ready.swap(finished);
      }
      for (Outcome& outcome : ready) {
        on_done(outcome);
        ++reported;
      }
      if (reported < kFamilyCount) poll();
    }
  } catch (...) {
    stop();
    throw;
  }
  stop();
  read_ = std::move(kept);
}

}  // namespace varnel::sig
