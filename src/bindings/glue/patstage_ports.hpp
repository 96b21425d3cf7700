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

#include "bindings/glue/nb.hpp"
#include "patstage/language_model.hpp"
#include "patstage/logger.hpp"
#include "patstage/text_gate.hpp"

namespace varnel::bindings {

class PythonLogger final : public patstage::Logger {
 public:
  // Binds logging.getLogger(name). Call with the GIL held.
  explicit PythonLogger(const char* name);

  bool enabled(patstage::LogLevel level) override;
  // Hands the format and the arguments to logger.info or logger.debug,
  // which format the message themselves.
  void write(patstage::LogLevel level, std::string_view format, std::span<const patstage::LogArg> args) override;

 private:
  nb::object logger_;
};

// The gate is an attribute of the engine; the host may replace it.
class PythonGate final : public patstage::TextGate {
 public:
  bool accepts(std::string_view text) override;
  nb::object gate;
};

// A client object with a generate(prompt) method.
class PythonModel final : public patstage::LanguageModel {
 public:
  explicit PythonModel(nb::object client) : client_(std::move(client)) {}
  // Releases the client with the GIL, wherever the last owner lets go.
  ~PythonModel() override;

  // A call that raises an Exception, or answers with something that is not
  // text, gives nullopt; a BaseException (an interrupt) propagates.
  std::optional<std::string> generate(std::string_view prompt) override;
  const nb::object& client() const { return client_; }

 private:
  nb::object client_;
};

// The client classes AnthropicClient and OpenRouterClient, looked up in the
// module at each use so that a host (or a test) may rebind them.
class PythonClients final : public patstage::ModelClients {
 public:
  // Call with the GIL held.
  explicit PythonClients(const nb::module_& module);

  bool available(patstage::ClientKind kind) override;
  std::shared_ptr<patstage::LanguageModel> make(patstage::ClientKind kind, std::string_view model) override;

 private:
  // The bound class, or None.
  nb::object client_class(patstage::ClientKind kind) const;
  nb::object module_;
};

}  // namespace varnel::bindings
