// The plain-language port served by the host's helper module varnel.friendly.
// Its functions are looked up once, when an engine's module is imported, so
// a helper that lacks them fails the import instead of a later run. Each
// call takes the GIL for itself, so callers may run without it; an exception
// raised by the helper propagates as nb::python_error.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bindings/glue/convert.hpp"
#include "bindings/glue/nb.hpp"
#include "bindings/glue/python_call.hpp"
#include "vocab/plain_language.hpp"

namespace varnel::bindings {

class FriendlyPort final : public vocab::PlainLanguage {
 public:
  // Call with the GIL held.
  FriendlyPort()
      : relative_change_(bind_function(PythonModule::Friendly, "relative_change")),
        metric_insight_(bind_function(PythonModule::Friendly, "metric_insight")),
        up_(nb::str("up").release().ptr()),
        down_(nb::str("down").release().ptr()) {}

  std::string relative_change(const json::Value& current, const json::Value& baseline) override {
    nb::gil_scoped_acquire held;
    const nb::object now = to_python(current);
    const nb::object before = to_python(baseline);
    return str_text(call(relative_change_, {now.ptr(), before.ptr()}));
  }

  std::optional<std::string> metric_insight(const json::Value& metric, std::string_view direction) override {
    nb::gil_scoped_acquire held;
    const nb::object name = to_python(metric);
    const nb::object insight = call(metric_insight_, {name.ptr(), direction == "up" ? up_ : down_});
    if (!truth(insight)) return std::nullopt;
    return str_text(insight);
  }

 private:
  // Strong references kept for the life of the process: releasing them
  // after the interpreter has gone would crash.
  PyObject* relative_change_;
  PyObject* metric_insight_;
  PyObject* up_;
  PyObject* down_;
};

}  // namespace varnel::bindings
