// Calls into varnel.friendly, varnel.accepted and varnel.history for the
// advisory engine.
#include "bindings/glue/advisory_ports.hpp"

#include "bindings/glue/convert.hpp"
#include "bindings/glue/python_call.hpp"

namespace varnel::bindings {

namespace {

// fn(argument) for a function that takes one record.
nb::object call_with(PyObject* fn, const json::Value& argument) {
  const nb::object arg = to_python(argument);
  return call(fn, {arg.ptr()});
}

}  // namespace

AdvisoryFriendlyPort::AdvisoryFriendlyPort()
    : risk_level_(bind_function(PythonModule::Friendly, "risk_level")),
      friendly_pattern_(bind_function(PythonModule::Friendly, "friendly_pattern")),
      pattern_risk_assessment_(bind_function(PythonModule::Friendly, "pattern_risk_assessment")) {}

std::string AdvisoryFriendlyPort::relative_change(const json::Value& current, const json::Value& baseline) {
  return phrases_.relative_change(current, baseline);
}

std::optional<std::string> AdvisoryFriendlyPort::metric_insight(const json::Value& metric,
                                                                std::string_view direction) {
  return phrases_.metric_insight(metric, direction);
}

std::string AdvisoryFriendlyPort::risk_text(const json::Value& deviation, std::string_view field) {
  nb::gil_scoped_acquire held;
  return str_text(call_with(risk_level_, deviation)[text_to_python(field)]);
}

std::string AdvisoryFriendlyPort::friendly_pattern(const json::Value& match) {
  nb::gil_scoped_acquire held;
  return str_text(call_with(friendly_pattern_, match));
}

std::optional<std::string> AdvisoryFriendlyPort::pattern_severity(const json::Value& match) {
  nb::gil_scoped_acquire held;
  nb::object severity = call_with(pattern_risk_assessment_, match)["severity"];
  if (!nb::isinstance<nb::str>(severity)) return std::nullopt;
  return text_from_python(severity);
}

json::Value AdvisoryFriendlyPort::advisory_status(const json::Value& advisory) {
  nb::gil_scoped_acquire held;
  nb::object status = import_module(PythonModule::Friendly).attr("advisory_status");
  return from_python(status(to_python(advisory)));
}

void PythonAcceptedDeviations::cleanup_expired() {
  nb::gil_scoped_acquire held;
  store_.attr("cleanup_expired")(nb::arg("current_advisory_id") = "");
}

std::vector<bool> PythonAcceptedDeviations::accepted(const json::Array& changes, const json::Array& commit_list) {
  nb::gil_scoped_acquire held;
  nb::object commits = PythonBuilder().convert(commit_list);
  nb::object ask = store_.attr("is_accepted_in_context");
  std::vector<bool> out;
  out.reserve(changes.size());
  for (const json::Value& change : changes) {
    nb::object answer = ask(to_python(change.at("family")), to_python(change.at("metric")),
                            nb::arg("commit_sha") = to_python(change.at("trigger_commit")),
                            nb::arg("event_date") = to_python(change.at("observed_at")),
                            nb::arg("commit_list") = commits);
    out.push_back(truth(answer));
  }
  return out;
}

json::Value PythonAdvisoryHistory::diff_advisories(const json::Value& before, const json::Value& after) {
  nb::gil_scoped_acquire held;
  nb::object diff = import_module(PythonModule::History).attr("diff_advisories");
  if (!threshold_) return from_python(diff(to_python(before), to_python(after)));
  return from_python(diff(to_python(before), to_python(after), nb::arg("threshold") = *threshold_));
}

}  // namespace varnel::bindings
