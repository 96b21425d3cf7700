// varnel.sigstage: the signal engine (Phase 2) for a Python host.
#include <nanobind/stl/pair.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <optional>
#include <thread>

#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/nb.hpp"
#include "common/errors.hpp"
#include "sigstage/families.hpp"
#include "sigstage/git_metrics.hpp"
#include "sigstage/robust_stats.hpp"
#include "sigstage/signal_engine.hpp"

namespace vb = varnel::bindings;
namespace sig = varnel::sig;
using varnel::json::Value;

namespace {

// A Python number as a metric number. `what` names it in errors. None, NaN
// and the infinities are "not measured" (nullopt); booleans and other
// objects are refused unless `lenient`, in which case they become unusable
// values that fail where they are used.
std::optional<sig::MetricValue> metric_from_python(nb::handle obj, const std::string& what) {
  if (obj.is_none()) return sig::MetricValue::null();
  if (PyBool_Check(obj.ptr())) throw varnel::TypeMismatchError(what + " must be a number, not bool");
  if (PyLong_Check(obj.ptr()) || PyFloat_Check(obj.ptr())) {
    const Value v = vb::from_python(obj);
    const std::optional<sig::Num> n = varnel::pyexact::num_from_json(v, what);
    return n ? sig::MetricValue::of(*n) : sig::MetricValue::null();
  }
  return sig::MetricValue::invalid(what + " must be a number, not " + std::string(Py_TYPE(obj.ptr())->tp_name));
}

// A list of finite numbers for the module-level statistics.
std::vector<sig::Num> numbers_from_python(nb::handle values) {
  std::vector<sig::Num> out;
  for (nb::handle item : values) {
    const sig::MetricValue v = *metric_from_python(item, "value");
    if (v.kind == sig::MetricValue::Kind::Invalid) throw varnel::TypeMismatchError(v.problem);
    if (v.kind == sig::MetricValue::Kind::Null) {
      throw varnel::InvalidValueError("values must be finite numbers, not " + std::string(nb::repr(item).c_str()));
    }
    out.push_back(v.number);
  }
  return out;
}

double observed_from_python(nb::handle obj) {
  if (PyBool_Check(obj.ptr()) || !(PyLong_Check(obj.ptr()) || PyFloat_Check(obj.ptr()))) {
    throw varnel::TypeMismatchError(std::string("observed must be a number, not ") + Py_TYPE(obj.ptr())->tp_name);
  }
  const double x = PyFloat_AsDouble(obj.ptr());
  if (x == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return x;
}

nb::object num_to_python(const sig::Num& n) { return vb::to_python(n.to_json()); }

nb::dict deviation_to_python(const sig::Deviation& d) {
  nb::dict out;
  out["measure"] = d.measure ? nb::object(nb::float_(*d.measure)) : nb::none();
  out["unit"] = nb::str(d.unit.data(), d.unit.size());
  out["median"] = num_to_python(d.median);
  out["mad"] = num_to_python(d.mad);
  out["degenerate"] = nb::bool_(d.degenerate);
  return out;
}

nb::list signals_to_python(const sig::SignalList& signals) {
  vb::PythonBuilder builder;
  nb::list out;
  for (std::size_t i = 0; i < signals.size(); ++i) out.append(builder.convert(signals.record(i)));
  return out;
}

// The distinct paths of a Python collection of file names, sorted.
std::vector<std::string> files_from_python(nb::handle files) {
  std::vector<std::string> out;
  for (nb::handle f : files) out.push_back(vb::text_from_python(f));
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

class Phase2Engine {
 public:
  Phase2Engine(nb::handle varnel_dir, std::int64_t window_size, std::int64_t min_baseline)
      : engine_(vb::path_from_python(varnel_dir), window_size, min_baseline) {}

  nb::object varnel_dir() const { return vb::path_to_python(engine_.varnel_dir()); }
  nb::object events_path() const { return vb::path_to_python(engine_.events_path()); }
  nb::object output_path() const { return vb::path_to_python(engine_.output_path()); }
  std::size_t window_size() const { return engine_.settings().window_size; }
  std::size_t min_baseline() const { return engine_.settings().min_baseline; }

  nb::list load_events(nb::handle source_family, nb::handle source_type) const {
    const std::string family = source_family.is_none() ? "" : vb::text_from_python(source_family);
    const std::string type = source_type.is_none() ? "" : vb::text_from_python(source_type);
    std::vector<Value> events;
    {
      nb::gil_scoped_release unlocked;
      events = engine_.load_events(family, type);
    }
    nb::list out;
    for (const Value& e : events) out.append(vb::to_python(e));
    return out;
  }

  nb::list metric_series(const std::string& family) const {
    const auto& all = sig::families();
    std::size_t index = 0;
    while (index < all.size() && all[index].key != family) ++index;
    if (index == all.size()) throw varnel::InvalidValueError("no family named " + family);
    std::vector<sig::SignalEngine::Measured> series;
    {
      nb::gil_scoped_release unlocked;
      series = engine_.metric_series(index);
    }
    const sig::Family& f = all[index];
    nb::list out;
    for (const auto& [ref, metrics] : series) {
      nb::dict values;
      for (const sig::Metric& m : metrics.items) {
        const std::string_view name = f.metric_names[m.name];
        values[nb::str(name.data(), name.size())] =
            m.value.kind == sig::MetricValue::Kind::Number ? num_to_python(m.value.number) : nb::none();
      }
      out.append(nb::make_tuple(vb::to_python(ref), values));
    }
    return out;
  }

  nb::list emit_signals(nb::handle events, const std::string& engine_id, const std::string& source_type,
                        nb::handle metric_fn, nb::handle window_data_fn) const {
    sig::SignalEmitter emitter(engine_.settings(), engine_id, source_type);
    for (nb::handle event : events) {
      nb::object metrics = metric_fn(event);
      sig::Metrics converted = metrics_from_python(metrics, emitter);
      emitter.judge(converted, [&event] {
        nb::object ref = event.attr("get")("event_id", "");
        return vb::from_python(ref);
      });
      window_data_fn(event, metrics);  // extra window data is never read back here
      emitter.remember(std::move(converted));
    }
    return signals_to_python(emitter.take_signals());
  }

  nb::list run_family(std::size_t family) const {
    std::optional<sig::SignalList> signals;
    {
      nb::gil_scoped_release unlocked;
      signals = engine_.run_family(family);
    }
    return signals_to_python(*signals);
  }

  nb::dict run_all() const {
    nb::dict out;
    nb::gil_scoped_release unlocked;
    engine_.run_all([&](std::size_t family, sig::SignalList& signals) {
      nb::gil_scoped_acquire locked;
      out[std::string(sig::families()[family].key).c_str()] = signals_to_python(signals);
    });
    return out;
  }

  nb::dict run_all_parallel(nb::handle max_workers) const {
    const std::size_t workers = worker_count(max_workers);
    nb::dict out;
    nb::object print = nb::module_::import_("builtins").attr("print");
    auto on_done = [&](sig::SignalEngine::Outcome& outcome) {
      nb::gil_scoped_acquire locked;
      const std::string key(sig::families()[outcome.family].key);
      if (outcome.error) {
        nb::object failure = vb::python_exception(outcome.error);
        print(nb::str(("  [Phase 2] " + key + " failed: ").c_str()) + nb::str(failure));
        out[key.c_str()] = nb::list();
      } else {
        out[key.c_str()] = signals_to_python(*outcome.signals);
        outcome.signals.reset();  // the Python copy is all the host keeps
      }
    };
    auto poll = [] {
      nb::gil_scoped_acquire locked;
      if (PyErr_CheckSignals() != 0) throw nb::python_error();
    };
    {
      nb::gil_scoped_release unlocked;
      engine_.run_all_parallel(workers, on_done, poll);
    }
    return out;
  }

 private:
  // A thread pool's size as a host gives it: None for a default from the
  // processor count, else a positive integer.
  static std::size_t worker_count(nb::handle max_workers) {
    if (max_workers.is_none()) return std::thread::hardware_concurrency() + 4;
    if (PyBool_Check(max_workers.ptr()) || !PyLong_Check(max_workers.ptr())) {
      throw varnel::TypeMismatchError(std::string("max_workers must be an integer, not ") +
                                      Py_TYPE(max_workers.ptr())->tp_name);
    }
    const long long n = PyLong_AsLongLong(max_workers.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (n <= 0) throw varnel::InvalidValueError("max_workers must be greater than 0");
    return static_cast<std::size_t>(n);
  }

  // A host's metrics map: a dict of metric name to number, or None.
  static sig::Metrics metrics_from_python(nb::handle metrics, sig::SignalEmitter& emitter) {
    sig::Metrics out;
    if (metrics.is_none()) {
      out.missing = true;
      return out;
    }
    if (!PyDict_Check(metrics.ptr())) {
      throw varnel::TypeMismatchError(std::string("metric_fn must return a dict, not ") +
                                      Py_TYPE(metrics.ptr())->tp_name);
    }
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(metrics.ptr(), &pos, &key, &value)) {
      const std::string name = vb::text_from_python(key);
      out.items.push_back({emitter.names().intern(name), *metric_from_python(value, "metric " + name)});
    }
    return out;
  }

  sig::SignalEngine engine_;
};

nb::dict git_metrics(nb::handle event) {
  const std::vector<std::string> files = sig::git_files(vb::from_python(event), "event");
  nb::dict out;
  out["files_touched"] = files.size();
  out["dispersion"] = sig::dispersion(files);
  return out;
}

nb::handle git_extended_metrics(nb::handle event, nb::handle metrics, nb::handle window) {
  const std::vector<std::string> files = sig::git_files(vb::from_python(event), "event");
  std::vector<sig::WindowFiles> entries;
  for (nb::handle entry : window) {
    sig::WindowFiles w;
    w.files = files_from_python(entry["files"]);
    for (nb::handle pair : entry["pairs"]) {
      nb::sequence p = nb::borrow<nb::sequence>(pair);
      w.pairs.emplace_back(vb::text_from_python(p[0]), vb::text_from_python(p[1]));
    }
    entries.push_back(std::move(w));
  }
  const auto [locality, novelty] = sig::locality_and_novelty(files, entries);
  metrics["change_locality"] = locality;
  metrics["cochange_novelty_ratio"] = novelty;
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
    for (std::string_view metric : family.metric_names) metrics.append(nb::str(metric.data(), metric.size()));
    family_metrics[nb::str(family.key.data(), family.key.size())] = nb::tuple(metrics);
  }
  m.attr("FAMILY_METRICS") = family_metrics;

  m.def(
      "compute_robust_deviation",
      [](nb::handle observed, nb::handle values) {
        const double x = observed_from_python(observed);
        const std::vector<sig::Num> history = numbers_from_python(values);
        sig::StatsScratch scratch;
        return deviation_to_python(sig::compute_robust_deviation(x, history, scratch));
      },
      nb::arg("observed").none(), nb::arg("values"),
      "Deviation of observed against values: modified z-score, IQR fallback, or degenerate.");
  m.def(
      "_median_absolute_deviation",
      [](nb::handle values) {
        sig::StatsScratch scratch;
        return num_to_python(sig::median_absolute_deviation(numbers_from_python(values), scratch));
      },
      nb::arg("values"));
  m.def(
      "_iqr",
      [](nb::handle values) {
        sig::StatsScratch scratch;
        return num_to_python(sig::interquartile_range(numbers_from_python(values), scratch));
      },
      nb::arg("values"));

  auto cls = nb::class_<Phase2Engine>(m, "Phase2Engine", "Turns the workspace's events into signal files.")
                 .def(nb::init<nb::handle, std::int64_t, std::int64_t>(), nb::arg("varnel_dir"),
                      nb::arg("window_size") = 50, nb::arg("min_baseline") = 5)
                 .def_prop_ro("varnel_dir", &Phase2Engine::varnel_dir)
                 .def_prop_ro("events_path", &Phase2Engine::events_path)
                 .def_prop_ro("output_path", &Phase2Engine::output_path)
                 .def_prop_ro("window_size", &Phase2Engine::window_size)
                 .def_prop_ro("min_baseline", &Phase2Engine::min_baseline)
                 .def("_load_events", &Phase2Engine::load_events, nb::kw_only(),
                      nb::arg("source_family").none() = nb::none(), nb::arg("source_type").none() = nb::none())
                 .def("_emit_signals", &Phase2Engine::emit_signals, nb::arg("events"), nb::arg("engine_id"),
                      nb::arg("source_type"), nb::arg("metric_fn"), nb::arg("window_data_fn"))
                 .def_static(
                     "_dispersion", [](nb::handle files) { return sig::dispersion(files_from_python(files)); },
                     nb::arg("files"))
                 .def_static(
                     "_cochange_pairs",
                     [](nb::handle files) {
                       nb::set out;
                       for (const auto& [a, b] : sig::cochange_pairs(files_from_python(files))) {
                         out.add(nb::make_tuple(vb::text_to_python(a), vb::text_to_python(b)));
                       }
                       return out;
                     },
                     nb::arg("files"))
                 .def("_git_metrics", [](const Phase2Engine&, nb::handle event) { return git_metrics(event); },
                      nb::arg("event"))
                 .def(
                     "_git_extended_metrics",
                     [](const Phase2Engine&, nb::handle event, nb::handle metrics, nb::handle window) {
                       return nb::borrow(git_extended_metrics(event, metrics, window));
                     },
                     nb::arg("event"), nb::arg("metrics"), nb::arg("window"))
                 .def("metric_series", &Phase2Engine::metric_series, nb::arg("family"),
                      "(event_ref, metrics) of every event of a family in the order it is judged, also the "
                      "events too early to be judged; writes no signal file.")
                 .def("run_all", &Phase2Engine::run_all)
                 .def("run_all_parallel", &Phase2Engine::run_all_parallel, nb::arg("max_workers").none() = 4);
  for (std::size_t f = 0; f < sig::kFamilyCount; ++f) {
    const std::string name = "run_" + std::string(sig::families()[f].key);
    cls.def(name.c_str(), [f](const Phase2Engine& self) { return self.run_family(f); });
  }
}
