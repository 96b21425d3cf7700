// Calls into varnel.friendly, varnel.accepted and varnel.history for the
// advisory engine.
#include "bindings/advisory_ports.hpp"

#include "bindings/convert.hpp"
#include "bindings/python_call.hpp"

namespace varnel::bindings {

namespace {

nb::object call(PyObject* fn, const json::Value& argument) {
  nb::object arg = to_python(argument);
  PyObject* args[] = {arg.ptr()};
  return checked(PyObject_Vectorcall(fn, args, 1, nullptr));
}

std::string text(nb::handle obj) { return text_from_python(checked(PyObject_Str(obj.ptr()))); }

}  // namespace

AdvisoryFriendlyPort::AdvisoryFriendlyPort() {
  nb::module_ friendly = nb::module_::import_("varnel.friendly");
  risk_level_ = bind_function(friendly, "risk_level", "varnel.friendly.risk_level");
  friendly_pattern_ = bind_function(friendly, "friendly_pattern", "varnel.friendly.friendly_pattern");
  pattern_risk_assessment_ =
      bind_function(friendly, "pattern_risk_assessment", "varnel.friendly.pattern_risk_assessment");
}

std::string AdvisoryFriendlyPort::relative_change(const json::Value& current, const json::Value& baseline) {
  return phrases_.relative_change(current, baseline);
}

std::optional<std::string> AdvisoryFriendlyPort::metric_insight(const json::Value& metric,
                                                                std::string_view direction) {
  return phrases_.metric_insight(metric, direction);
}

std::string AdvisoryFriendlyPort::risk_text(const json::Value& deviation, std::string_view field) {
  nb::gil_scoped_acquire held;
  nb::object risk = call(risk_level_, deviation);
  nb::object key = text_to_python(field);
  return text(checked(PyObject_GetItem(risk.ptr(), key.ptr())));
}

std::string AdvisoryFriendlyPort::friendly_pattern(const json::Value& match) {
  nb::gil_scoped_acquire held;
  return text(call(friendly_pattern_, match));
}

std::optional<std::string> AdvisoryFriendlyPort::pattern_severity(const json::Value& match) {
  nb::gil_scoped_acquire held;
  nb::object assessment = call(pattern_risk_assessment_, match);
  nb::object severity = checked(PyObject_GetItem(assessment.ptr(), nb::str("severity").ptr()));
  if (!PyUnicode_Check(severity.ptr())) return std::nullopt;
  return text_from_python(severity);
}

json::Value AdvisoryFriendlyPort::advisory_status(const json::Value& advisory) {
  nb::gil_scoped_acquire held;
  nb::object status = nb::module_::import_("varnel.friendly").attr("advisory_status");
  return from_python(status(to_python(advisory)));
}

void PythonAcceptedDeviations::cleanup_expired() {
  nb::gil_scoped_acquire held;
  store_.attr("cleanup_expired")(nb::arg("current_advisory_id") = "");
}

std::vector<bool> PythonAcceptedDeviations::accepted(const json::Array& changes, const json::Array& commit_list) {
  nb::gil_scoped_acquire held;
  nb::object commits = to_python(json::Value(commit_list));
  nb::object ask = store_.attr("is_accepted_in_context");
  std::vector<bool> out;
  out.reserve(changes.size());
  for (const json::Value& change : changes) {
    nb::object answer = ask(to_python(change.at("family")), to_python(change.at("metric")),
                            nb::arg("commit_sha") = to_python(change.at("trigger_commit")),
                            nb::arg("event_date") = to_python(change.at("observed_at")),
                            nb::arg("commit_list") = commits);
    const int truth = PyObject_IsTrue(answer.ptr());
    if (truth < 0) throw nb::python_error();
    out.push_back(truth != 0);
  }
  return out;
}

json::Value PythonAdvisoryHistory::diff_advisories(const json::Value& before, const json::Value& after) {
  nb::gil_scoped_acquire held;
  nb::object diff = nb::module_::import_("varnel.history").attr("diff_advisories");
  return from_python(diff(to_python(before), to_python(after)));
}

}  // namespace varnel::bindings
