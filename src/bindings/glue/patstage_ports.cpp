// Calls into Python for the pattern engine's ports.
#include "bindings/glue/patstage_ports.hpp"

#include <variant>

#include "bindings/glue/convert.hpp"
#include "bindings/glue/imports.hpp"
#include "bindings/glue/python_call.hpp"

namespace varnel::bindings {

namespace {

// The Python logging level of a message level.
int python_level(patstage::LogLevel level) { return level == patstage::LogLevel::Debug ? 10 : 20; }

}  // namespace

PythonLogger::PythonLogger(const char* name)
    : logger_(import_module(PythonModule::Logging).attr("getLogger")(name)) {}

bool PythonLogger::enabled(patstage::LogLevel level) {
  nb::gil_scoped_acquire held;
  return truth(logger_.attr("isEnabledFor")(python_level(level)));
}

void PythonLogger::write(patstage::LogLevel level, std::string_view format, std::span<const patstage::LogArg> args) {
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

bool PythonGate::accepts(std::string_view text) {
  nb::gil_scoped_acquire held;
  return truth(gate.attr("no_forbidden_language")(text_to_python(text)));
}

PythonModel::~PythonModel() {
  nb::gil_scoped_acquire held;
  client_.reset();
}

std::optional<std::string> PythonModel::generate(std::string_view prompt) {
  nb::gil_scoped_acquire held;
  const std::optional<nb::object> answer = call_or_nothing(client_.attr("generate"), text_to_python(prompt));
  if (!answer || !nb::isinstance<nb::str>(*answer)) return std::nullopt;
  return text_from_python(*answer);
}

PythonClients::PythonClients(const nb::module_& module) : module_(module) {}

nb::object PythonClients::client_class(patstage::ClientKind kind) const {
  const char* name = kind == patstage::ClientKind::Anthropic ? "AnthropicClient" : "OpenRouterClient";
  return attribute_or_nothing(module_, name).value_or(nb::none());
}

bool PythonClients::available(patstage::ClientKind kind) {
  nb::gil_scoped_acquire held;
  return !client_class(kind).is_none();
}

std::shared_ptr<patstage::LanguageModel> PythonClients::make(patstage::ClientKind kind, std::string_view model) {
  nb::gil_scoped_acquire held;
  nb::object cls = client_class(kind);
  if (cls.is_none()) return nullptr;
  std::optional<nb::object> client = call_or_nothing(cls, text_to_python(model));
  if (!client) return nullptr;
  return std::make_shared<PythonModel>(std::move(*client));
}

}  // namespace varnel::bindings
