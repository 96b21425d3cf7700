// Calls into varnel.friendly for the plain-language port.
#include "bindings/friendly_port.hpp"

#include "bindings/convert.hpp"
#include "bindings/python_call.hpp"

namespace varnel::bindings {

namespace {

nb::object call(PyObject* fn, nb::handle first, nb::handle second) {
  PyObject* args[] = {first.ptr(), second.ptr()};
  return checked(PyObject_Vectorcall(fn, args, 2, nullptr));
}

}  // namespace

FriendlyPort::FriendlyPort() {
  nb::module_ friendly = nb::module_::import_("varnel.friendly");
  relative_change_ = bind_function(friendly, "relative_change", "varnel.friendly.relative_change");
  metric_insight_ = bind_function(friendly, "metric_insight", "varnel.friendly.metric_insight");
  up_ = nb::str("up").release().ptr();
  down_ = nb::str("down").release().ptr();
}

std::string FriendlyPort::relative_change(const json::Value& current, const json::Value& baseline) {
  nb::gil_scoped_acquire held;
  nb::object phrase = call(relative_change_, to_python(current), to_python(baseline));
  return text_from_python(checked(PyObject_Str(phrase.ptr())));
}

std::optional<std::string> FriendlyPort::metric_insight(const json::Value& metric, std::string_view direction) {
  nb::gil_scoped_acquire held;
  nb::object insight = call(metric_insight_, to_python(metric), direction == "up" ? up_ : down_);
  const int truth = PyObject_IsTrue(insight.ptr());
  if (truth < 0) throw nb::python_error();
  if (truth == 0) return std::nullopt;
  return text_from_python(checked(PyObject_Str(insight.ptr())));
}

}  // namespace varnel::bindings
