// The pattern engine's outside services served by Python: the logger
// "varnel.phase4", the validation gate object, and the language-model
// client classes bound in the module. Each call takes the GIL for itself, so
// the engine runs without it in between. The logger and the clients' port
// are made once per process and never destroyed: releasing their Python
// objects after the interpreter has gone would crash.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "bindings/glue/convert.hpp"
#include "bindings/glue/imports.hpp"
#include "bindings/glue/nb.hpp"
#include "bindings/glue/python_call.hpp"
#include "patstage/language_model.hpp"
#include "patstage/logger.hpp"
#include "patstage/text_gate.hpp"

namespace varnel::bindings {

// logging.getLogger(name), bound once (with the GIL held).
class HostLogger final : public patstage::Logger {
 public:
  explicit HostLogger(const char* name) : logger_(import_module(PythonModule::Logging).attr("getLogger")(name)) {}

  bool enabled(patstage::LogLevel level) override {
    nb::gil_scoped_acquire held;
    return truth(logger_.attr("isEnabledFor")(python_level(level)));
  }

  // Hands the format and the arguments to logger.info or logger.debug,
  // which format the message themselves.
  void write(patstage::LogLevel level, std::string_view format, std::span<const patstage::LogArg> args) override {
    nb::gil_scoped_acquire held;
    nb::list call;
    call.append(text_to_python(format));
    for (const patstage::LogArg& a : args) {
      if (const auto* i = std::get_if<std::int64_t>(&a)) {
        call.append(nb::int_(*i));
      } else {
        call.append(nb::float_(std::get<double>(a)));
      }
    }
    logger_.attr(level == patstage::LogLevel::Debug ? "debug" : "info")(*nb::tuple(call));
  }

 private:
  static int python_level(patstage::LogLevel level) { return level == patstage::LogLevel::Debug ? 10 : 20; }
  nb::object logger_;
};

// The gate is an attribute of the engine; the host may replace it.
class HostGate final : public patstage::TextGate {
 public:
  bool accepts(std::string_view text) override {
    nb::gil_scoped_acquire held;
    return truth(gate.attr("no_forbidden_language")(text_to_python(text)));
  }
  nb::object gate;
};

// A client object with a generate(prompt) method. A call that raises an
// Exception, or answers with something that is not text, gives nullopt; a
// BaseException (an interrupt) propagates.
class HostModel final : public patstage::LanguageModel {
 public:
  explicit HostModel(nb::object client) : client_(std::move(client)) {}
  // Releases the client with the GIL, wherever the last owner lets go.
  ~HostModel() override {
    nb::gil_scoped_acquire held;
    client_.reset();
  }

  std::optional<std::string> generate(std::string_view prompt) override {
    nb::gil_scoped_acquire held;
    const std::optional<nb::object> answer = call_or_nothing(client_.attr("generate"), text_to_python(prompt));
    if (!answer || !nb::isinstance<nb::str>(*answer)) return std::nullopt;
    return text_from_python(*answer);
  }
  const nb::object& client() const { return client_; }

 private:
  nb::object client_;
};

// The client classes AnthropicClient and OpenRouterClient, looked up in the
// module at each use so that a host (or a test) may rebind them.
class HostClients final : public patstage::ModelClients {
 public:
  // Call with the GIL held.
  explicit HostClients(const nb::module_& module) : module_(module) {}

  bool available(patstage::ClientKind kind) override {
    nb::gil_scoped_acquire held;
    return client_class(kind).has_value();
  }

  std::shared_ptr<patstage::LanguageModel> make(patstage::ClientKind kind, std::string_view model) override {
    nb::gil_scoped_acquire held;
    const std::optional<nb::object> cls = client_class(kind);
    std::optional<nb::object> client = cls ? call_or_nothing(*cls, text_to_python(model)) : std::nullopt;
    return client ? std::make_shared<HostModel>(std::move(*client)) : nullptr;
  }

 private:
  // The bound class, unless the module lacks it or holds None.
  std::optional<nb::object> client_class(patstage::ClientKind kind) const {
    const char* name = kind == patstage::ClientKind::Anthropic ? "AnthropicClient" : "OpenRouterClient";
    std::optional<nb::object> cls = attribute_or_nothing(module_, name);
    return cls && !cls->is_none() ? cls : std::nullopt;
  }
  nb::object module_;
};

}  // namespace varnel::bindings
