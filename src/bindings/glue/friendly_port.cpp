// Calls into varnel.friendly for the plain-language port.
#include "bindings/glue/friendly_port.hpp"

#include "bindings/glue/convert.hpp"
#include "bindings/glue/python_call.hpp"

namespace varnel::bindings {

FriendlyPort::FriendlyPort()
    : relative_change_(bind_function(PythonModule::Friendly, "relative_change")),
      metric_insight_(bind_function(PythonModule::Friendly, "metric_insight")),
      up_(nb::str("up").release().ptr()),
      down_(nb::str("down").release().ptr()) {}

std::string FriendlyPort::relative_change(const json::Value& current, const json::Value& baseline) {
  nb::gil_scoped_acquire held;
  const nb::object now = to_python(current);
  const nb::object before = to_python(baseline);
  return str_text(call(relative_change_, {now.ptr(), before.ptr()}));
}

std::optional<std::string> FriendlyPort::metric_insight(const json::Value& metric, std::string_view direction) {
  nb::gil_scoped_acquire held;
  const nb::object name = to_python(metric);
  nb::object insight = call(metric_insight_, {name.ptr(), direction == "up" ? up_ : down_});
  if (!truth(insight)) return std::nullopt;
  return str_text(insight);
}

}  // namespace varnel::bindings
