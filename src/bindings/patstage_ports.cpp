// Calls into Python for the pattern engine's ports.
#include "bindings/patstage_ports.hpp"

#include <variant>

#include "bindings/convert.hpp"

namespace varnel::bindings {

namespace {

nb::object checked(PyObject* obj) {
  if (obj == nullptr) throw nb::python_error();
  return nb::steal(obj);
}

// The Python logging level of a message level.
int python_level(patstage::LogLevel level) { return level == patstage::LogLevel::Debug ? 10 : 20; }

// Whether the error being raised is an ordinary Exception, which a failed
// call may swallow (an interrupt or exit must get through).
bool swallow_exception() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

}  // namespace

PythonLogger::PythonLogger(const char* name)
    : logger_(nb::module_::import_("logging").attr("getLogger")(name).release().ptr()) {}

bool PythonLogger::enabled(patstage::LogLevel level) {
  nb::gil_scoped_acquire held;
  nb::object on = nb::handle(logger_).attr("isEnabledFor")(python_level(level));
  const int truth = PyObject_IsTrue(on.ptr());
  if (truth < 0) throw nb::python_error();
  return truth == 1;
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
  nb::object method = nb::handle(logger_).attr(level == patstage::LogLevel::Debug ? "debug" : "info");
  checked(PyObject_CallObject(method.ptr(), nb::tuple(call).ptr()));
}

bool PythonGate::accepts(std::string_view text) {
  nb::gil_scoped_acquire held;
  nb::object verdict = gate.attr("no_forbidden_language")(text_to_python(text));
  const int truth = PyObject_IsTrue(verdict.ptr());
  if (truth < 0) throw nb::python_error();
  return truth == 1;
}

PythonModel::~PythonModel() {
  nb::gil_scoped_acquire held;
  client_.reset();
}

std::optional<std::string> PythonModel::generate(std::string_view prompt) {
  nb::gil_scoped_acquire held;
  nb::object method = client_.attr("generate");
  nb::str text = text_to_python(prompt);
  PyObject* answer = PyObject_CallOneArg(method.ptr(), text.ptr());
  if (answer == nullptr) {
    if (swallow_exception()) return std::nullopt;
    throw nb::python_error();
  }
  nb::object owned = nb::steal(answer);
  if (!PyUnicode_Check(answer)) return std::nullopt;
  return text_from_python(owned);
}

PythonClients::PythonClients(nb::handle module) : module_(nb::borrow(module).release().ptr()) {}

nb::object PythonClients::client_class(patstage::ClientKind kind) const {
  const char* name = kind == patstage::ClientKind::Anthropic ? "AnthropicClient" : "OpenRouterClient";
  PyObject* cls = PyObject_GetAttrString(module_, name);
  if (cls == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::none();
  }
  return nb::steal(cls);
}

bool PythonClients::available(patstage::ClientKind kind) {
  nb::gil_scoped_acquire held;
  return !client_class(kind).is_none();
}

std::shared_ptr<patstage::LanguageModel> PythonClients::make(patstage::ClientKind kind, std::string_view model) {
  nb::gil_scoped_acquire held;
  nb::object cls = client_class(kind);
  if (cls.is_none()) return nullptr;
  nb::str name = text_to_python(model);
  PyObject* client = PyObject_CallOneArg(cls.ptr(), name.ptr());
  if (client == nullptr) {
    if (swallow_exception()) return nullptr;
    throw nb::python_error();
  }
  return std::make_shared<PythonModel>(nb::steal(client));
}

}  // namespace varnel::bindings
