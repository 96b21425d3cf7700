// The advisory engine's ports served by the host's modules: varnel.friendly
// for phrases, an AcceptedDeviations object of varnel.accepted, and
// varnel.history for comparing advisories. Every call takes the GIL for
// itself, so the engine may run without it; an exception raised by a module
// propagates as nb::python_error.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "advstage/ports.hpp"
#include "bindings/glue/convert.hpp"
#include "bindings/glue/friendly_port.hpp"
#include "bindings/glue/nb.hpp"
#include "bindings/glue/python_call.hpp"

namespace varnel::bindings {

// varnel.friendly's phrases; advisory_status is looked up at each advisory,
// so a host may change it between runs.
class AdvisoryFriendlyPort final : public advstage::AdvisoryLanguage {
 public:
  // Call with the GIL held.
  AdvisoryFriendlyPort()
      : risk_level_(bind_function(PythonModule::Friendly, "risk_level")),
        friendly_pattern_(bind_function(PythonModule::Friendly, "friendly_pattern")),
        pattern_risk_assessment_(bind_function(PythonModule::Friendly, "pattern_risk_assessment")) {}

  std::string relative_change(const json::Value& current, const json::Value& baseline) override {
    return phrases_.relative_change(current, baseline);
  }
  std::optional<std::string> metric_insight(const json::Value& metric, std::string_view direction) override {
    return phrases_.metric_insight(metric, direction);
  }
  std::string risk_text(const json::Value& deviation, std::string_view field) override {
    nb::gil_scoped_acquire held;
    return str_text(call_with(risk_level_, deviation)[text_to_python(field)]);
  }
  std::string friendly_pattern(const json::Value& match) override {
    nb::gil_scoped_acquire held;
    return str_text(call_with(friendly_pattern_, match));
  }
  std::optional<std::string> pattern_severity(const json::Value& match) override {
    nb::gil_scoped_acquire held;
    const nb::object severity = call_with(pattern_risk_assessment_, match)["severity"];
    if (!nb::isinstance<nb::str>(severity)) return std::nullopt;
    return text_from_python(severity);
  }
  json::Value advisory_status(const json::Value& advisory) override {
    nb::gil_scoped_acquire held;
    return from_python(import_module(PythonModule::Friendly).attr("advisory_status")(to_python(advisory)));
  }

 private:
  // fn(record).
  static nb::object call_with(PyObject* fn, const json::Value& record) {
    const nb::object argument = to_python(record);
    return call(fn, {argument.ptr()});
  }

  FriendlyPort phrases_;
  // Strong references kept for the life of the process.
  PyObject* risk_level_;
  PyObject* friendly_pattern_;
  PyObject* pattern_risk_assessment_;
};

// An AcceptedDeviations object of the host.
class HostAcceptedDeviations final : public advstage::AcceptedDeviations {
 public:
  explicit HostAcceptedDeviations(nb::object store) : store_(std::move(store)) {}

  // The host's object (GIL held).
  const nb::object& object() const { return store_; }

  void cleanup_expired() override {
    nb::gil_scoped_acquire held;
    store_.attr("cleanup_expired")(nb::arg("current_advisory_id") = "");
  }

  // Asks is_accepted_in_context(family, metric, commit_sha=, event_date=,
  // commit_list=) once per change, passing one list object to every call.
  std::vector<bool> accepted(const json::Array& changes, const json::Array& commit_list) override {
    nb::gil_scoped_acquire held;
    const nb::object commits = PythonBuilder().convert(commit_list);
    const nb::object ask = store_.attr("is_accepted_in_context");
    std::vector<bool> out;
    for (const json::Value& c : changes) {
      out.push_back(truth(ask(to_python(c.at("family")), to_python(c.at("metric")),
                              nb::arg("commit_sha") = to_python(c.at("trigger_commit")),
                              nb::arg("event_date") = to_python(c.at("observed_at")),
                              nb::arg("commit_list") = commits)));
    }
    return out;
  }

 private:
  nb::object store_;
};

// varnel.history's diff_advisories, looked up at each call, with the
// threshold below which a change had gone back to normal when one is given
// (the module's own default otherwise).
class HostAdvisoryHistory final : public advstage::AdvisoryHistory {
 public:
  explicit HostAdvisoryHistory(std::optional<double> threshold) : threshold_(threshold) {}

  json::Value diff_advisories(const json::Value& before, const json::Value& after) override {
    nb::gil_scoped_acquire held;
    const nb::object diff = import_module(PythonModule::History).attr("diff_advisories");
    if (!threshold_) return from_python(diff(to_python(before), to_python(after)));
    return from_python(diff(to_python(before), to_python(after), nb::arg("threshold") = *threshold_));
  }

 private:
  std::optional<double> threshold_;
};

}  // namespace varnel::bindings
