// varnel.sigstage: the signal engine (Phase 2) for a Python host.
#include <optional>
#include <set>
#include <thread>

#include "bindings/glue/convert.hpp"
#include "bindings/glue/errors.hpp"
#include "bindings/glue/imports.hpp"
#include "bindings/glue/nb.hpp"
#include "bindings/glue/python_call.hpp"
#include "common/errors.hpp"
#include "sigstage/families.hpp"
#include "sigstage/git_metrics.hpp"
#include "sigstage/robust_stats.hpp"
#include "sigstage/signal_engine.hpp"

namespace vb = varnel::bindings;
namespace sig = varnel::sig;
namespace json = varnel::json;

namespace {

bool is_number(const nb::handle& obj) {
  return !nb::isinstance<nb::bool_>(obj) && (nb::isinstance<nb::int_>(obj) || nb::isinstance<nb::float_>(obj));
}

// A Python number as a metric number. `what` names it in errors. None, NaN
// and the infinities are "not measured"; booleans are refused and other
// objects become unusable values that fail where they are used.
sig::MetricValue metric_from_python(const nb::handle& obj, const std::string& what) {
  if (obj.is_none()) return sig::MetricValue::null();
  if (nb::isinstance<nb::bool_>(obj)) throw varnel::TypeMismatchError(what + " must be a number, not bool");
  if (!is_number(obj)) return sig::MetricValue::invalid(what + " must be a number, not " + vb::type_name(obj));
  const std::optional<sig::Num> n = varnel::pyexact::num_from_json(vb::from_python(obj), what);
  return n ? sig::MetricValue::of(*n) : sig::MetricValue::null();
}

// A host's values for the module-level statistics: finite numbers.
std::vector<sig::Num> numbers_from_python(const nb::iterable& values) {
  std::vector<sig::Num> out;
  for (auto item : values) {
    const sig::MetricValue v = metric_from_python(item, "value");
    if (v.kind == sig::MetricValue::Kind::Invalid) throw varnel::TypeMismatchError(v.problem);
    if (v.kind == sig::MetricValue::Kind::Null) {
      throw varnel::InvalidValueError("values must be finite numbers, not " + std::string(nb::repr(item).c_str()));
    }
    out.push_back(v.number);
  }
  return out;
}

nb::list signals_to_python(const sig::SignalList& signals) {
  vb::PythonBuilder builder;
  nb::list out;
  for (std::size_t i = 0; i < signals.size(); ++i) out.append(builder.convert(signals.record(i)));
  return out;
}

std::vector<std::string> sorted(const std::set<std::string>& files) { return {files.begin(), files.end()}; }

// The metrics map a host's metric_fn returns: a dict of metric name to
// number, or None.
sig::Metrics metrics_from_python(const nb::object& metrics, sig::SignalEmitter& emitter) {
  sig::Metrics out;
  out.missing = metrics.is_none();
  if (out.missing) return out;
  if (!nb::isinstance<nb::dict>(metrics)) {
    throw varnel::TypeMismatchError("metric_fn must return a dict, not " + vb::type_name(metrics));
  }
  for (auto [key, value] : nb::borrow<nb::dict>(metrics)) {
    const std::string name = vb::text_from_python(key);
    out.items.push_back({emitter.names().intern(name), metric_from_python(value, "metric " + name)});
  }
  return out;
}

// A Phase2Engine as the host holds it: the core, and the families that
// failed in its latest run with the text of each failure.
class Phase2Engine : public sig::SignalEngine {
 public:
  using sig::SignalEngine::SignalEngine;

  const json::Object& failures() const { return failures_; }

  nb::list run_family(std::size_t family) {
    failures_ = json::Object();
    try {
      return signals_to_python(vb::unlocked([&] { return SignalEngine::run_family(family); }));
    } catch (...) {
      fail(family, std::current_exception());
      throw;
    }
  }

  nb::dict run_all() {
    failures_ = json::Object();
    nb::dict out;
    std::size_t running = 0;  // families run in table order
    try {
      vb::unlocked([&] {
        SignalEngine::run_all([&](std::size_t family, sig::SignalList& signals) {
          nb::gil_scoped_acquire locked;
          out[key(family).c_str()] = signals_to_python(signals);
          running = family + 1;
        });
      });
    } catch (...) {
      fail(running, std::current_exception());
      throw;
    }
    return out;
  }

  // A family that fails prints its line and has no signals.
  nb::dict run_all_parallel(std::optional<std::int64_t> max_workers) {
    if (max_workers && *max_workers <= 0) throw varnel::InvalidValueError("max_workers must be greater than 0");
    const std::size_t workers =
        max_workers ? static_cast<std::size_t>(*max_workers) : std::thread::hardware_concurrency() + 4;
    failures_ = json::Object();
    nb::dict out;
    nb::object print = vb::import_module(vb::PythonModule::Builtins).attr("print");
    auto on_done = [&](sig::SignalEngine::Outcome& outcome) {
      nb::gil_scoped_acquire locked;
      const std::string family = key(outcome.family);
      if (outcome.error) {
        print(vb::text_to_python("  [Phase 2] " + family + " failed: " + fail(outcome.family, outcome.error)));
        out[family.c_str()] = nb::list();
      } else {
        out[family.c_str()] = signals_to_python(*outcome.signals);
        outcome.signals.reset();  // the Python copy is all the host keeps
      }
    };
    auto poll = [] {
      nb::gil_scoped_acquire locked;
      vb::check_signals();
    };
    vb::unlocked([&] { SignalEngine::run_all_parallel(workers, on_done, poll); });
    return out;
  }

  nb::list emit_signals(const nb::iterable& events, const std::string& engine_id, const std::string& source_type,
                        const nb::callable& metric_fn, const nb::callable& window_data_fn) const {
    sig::SignalEmitter emitter(settings(), engine_id, source_type);
    for (auto event : events) {
      nb::object metrics = metric_fn(event);
      sig::Metrics converted = metrics_from_python(metrics, emitter);
      emitter.judge(converted, [&event] { return vb::from_python(event.attr("get")("event_id", "")); });
      window_data_fn(event, metrics);  // extra window data is never read back here
      emitter.remember(std::move(converted));
    }
    return signals_to_python(emitter.take_signals());
  }

 private:
  static std::string key(std::size_t family) { return std::string(sig::families()[family].key); }

  // Notes the failure of a family and gives its text.
  std::string fail(std::size_t family, const std::exception_ptr& error) {
    std::string text = vb::failure_text(error);
    failures_.append(key(family), text);
    return text;
  }

  json::Object failures_;
};

// The name of a git metric, as its signals carry it.
nb::str git_metric(sig::GitMetric metric) {
  const std::string_view name = sig::families()[0].metric_names[metric];
  return nb::str(name.data(), name.size());
}

nb::dict git_extended_metrics(const json::Value& event, nb::dict metrics, const nb::iterable& window) {
  std::vector<sig::WindowFiles> entries;
  for (auto entry : window) {
    sig::WindowFiles& w = entries.emplace_back();
    w.files = sorted(nb::cast<std::set<std::string>>(entry["files"]));
    for (auto pair : entry["pairs"]) {
      const auto texts = nb::borrow<nb::sequence>(pair);
      w.pairs.emplace_back(nb::cast<std::string>(texts[0]), nb::cast<std::string>(texts[1]));
    }
  }
  const auto [locality, novelty] = sig::locality_and_novelty(sig::git_files(event, "event"), entries);
  metrics[git_metric(sig::kChangeLocality)] = locality;
  metrics[git_metric(sig::kCochangeNovelty)] = novelty;
  return metrics;
}

}  // namespace

NB_MODULE(sigstage, m) {
  vb::register_error_translator();
  m.doc() = "Phase 2: judges every event's metrics against the metric's own recent history.";

  // The metrics each family's signals carry, for hosts that check a FAMILY/METRIC a user names.
  nb::dict family_metrics;
  for (const sig::Family& family : sig::families()) {
    nb::list metrics;
    for (std::string_view metric : family.metric_names) metrics.append(vb::text_to_python(metric));
    family_metrics[vb::text_to_python(family.key)] = nb::tuple(metrics);
  }
  m.attr("FAMILY_METRICS") = family_metrics;

  m.def(
      "compute_robust_deviation",
      [](const nb::object& observed, const nb::iterable& values) {
        if (!is_number(observed)) {
          throw varnel::TypeMismatchError("observed must be a number, not " + vb::type_name(observed));
        }
        const double x = static_cast<double>(nb::float_(observed));
        sig::StatsScratch scratch;
        return sig::compute_robust_deviation(x, numbers_from_python(values), scratch).to_json();
      },
      nb::arg("observed").none(), nb::arg("values"),
      "Deviation of observed against values: modified z-score, IQR fallback, or degenerate.");

  using Core = sig::SignalEngine;
  auto cls =
      nb::class_<Phase2Engine>(m, "Phase2Engine", "Turns the workspace's events into signal files.")
          .def(nb::init<std::filesystem::path, std::int64_t, std::int64_t>(), nb::arg("varnel_dir"),
               nb::arg("window_size") = 50, nb::arg("min_baseline") = 5)
          .def_prop_ro("varnel_dir", &Core::varnel_dir)
          .def_prop_ro("events_path", &Core::events_path)
          .def_prop_ro("output_path", &Core::output_path)
          .def_prop_ro("window_size", [](const Phase2Engine& e) { return e.settings().window_size; })
          .def_prop_ro("min_baseline", [](const Phase2Engine& e) { return e.settings().min_baseline; })
          .def_prop_ro("failures", &Phase2Engine::failures,
                       "The families that failed in the latest run (run_all, run_all_parallel or run_<family>), "
                       "in the order they failed: family -> the failure's text, as the printed line shows it.")
          .def("metric_series", &Core::metric_series, nb::arg("family"), vb::without_gil(),
               "(event_ref, metrics) of every event of a family in the order it is judged, also the "
               "events too early to be judged; writes no signal file.")
          .def("run_all", &Phase2Engine::run_all)
          .def("run_all_parallel", &Phase2Engine::run_all_parallel, nb::arg("max_workers").noconvert().none() = 4);
  for (std::size_t f = 0; f < sig::kFamilyCount; ++f) {
    const std::string name = "run_" + std::string(sig::families()[f].key);
    cls.def(name.c_str(), [f](Phase2Engine& self) { return self.run_family(f); });
  }
  // Kept for callers of the engine's internals.
  cls.def(
         "_load_events",
         [](const Phase2Engine& e, std::optional<std::string> family, std::optional<std::string> type) {
           return e.load_events(family.value_or(""), type.value_or(""));
         },
         nb::kw_only(), nb::arg("source_family").none() = nb::none(), nb::arg("source_type").none() = nb::none(),
         vb::without_gil())
      .def("_emit_signals", &Phase2Engine::emit_signals, nb::arg("events"), nb::arg("engine_id"),
           nb::arg("source_type"), nb::arg("metric_fn"), nb::arg("window_data_fn"))
      .def_static(
          "_dispersion", [](const std::set<std::string>& files) { return sig::dispersion(sorted(files)); },
          nb::arg("files"))
      .def_static(
          "_cochange_pairs",
          [](const std::set<std::string>& files) {
            const auto pairs = sig::cochange_pairs(sorted(files));
            return std::set<std::pair<std::string, std::string>>(pairs.begin(), pairs.end());
          },
          nb::arg("files"))
      .def(
          "_git_metrics", [](const Phase2Engine&, const json::Value& event) { return sig::event_metrics(event); },
          nb::arg("event"))
      .def(
          "_git_extended_metrics",
          [](const Phase2Engine&, const json::Value& event, nb::dict metrics, const nb::iterable& window) {
            return git_extended_metrics(event, std::move(metrics), window);
          },
          nb::arg("event"), nb::arg("metrics"), nb::arg("window"));
  // Kept for callers of the statistics' internals.
  m.def(
      "_median_absolute_deviation",
      [](const nb::iterable& values) {
        sig::StatsScratch scratch;
        return sig::median_absolute_deviation(numbers_from_python(values), scratch).to_json();
      },
      nb::arg("values"));
  m.def(
      "_iqr",
      [](const nb::iterable& values) {
        sig::StatsScratch scratch;
        return sig::interquartile_range(numbers_from_python(values), scratch).to_json();
      },
      nb::arg("values"));
}
