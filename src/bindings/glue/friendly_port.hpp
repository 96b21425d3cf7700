// The plain-language port served by the host's helper module varnel.friendly.
// Its functions are looked up once, when an engine's module is imported, so
// a helper that lacks them fails the import instead of a later run.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bindings/glue/nb.hpp"
#include "vocab/plain_language.hpp"

namespace varnel::bindings {

class FriendlyPort final : public vocab::PlainLanguage {
 public:
  // Imports varnel.friendly and binds relative_change and metric_insight;
  // raises the host's error (ImportError, AttributeError, TypeError) when
  // either cannot be bound. Call with the GIL held.
  FriendlyPort();

  // Each call takes the GIL for itself, so callers may run without it;
  // an exception raised by the helper propagates as nb::python_error.
  std::string relative_change(const json::Value& current, const json::Value& baseline) override;
  std::optional<std::string> metric_insight(const json::Value& metric, std::string_view direction) override;

 private:
  // Strong references kept for the life of the process: releasing them
  // after the interpreter has gone would crash.
  PyObject* relative_change_;
  PyObject* metric_insight_;
  PyObject* up_;
  PyObject* down_;
};

}  // namespace varnel::bindings
