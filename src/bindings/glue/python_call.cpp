// Reference and error handling of calls into Python.
#include "bindings/glue/python_call.hpp"

#include <string>

#include "bindings/glue/convert.hpp"

namespace varnel::bindings {

nb::object checked(PyObject* obj) {
  if (obj == nullptr) throw nb::python_error();
  return nb::steal(obj);
}

PyObject* bind_function(PythonModule module, const char* name) {
  nb::object fn = import_module(module).attr(name);
  if (!PyCallable_Check(fn.ptr())) {
    const std::string qualified = std::string(kPythonModules[static_cast<std::size_t>(module)]) + "." + name;
    PyErr_Format(PyExc_TypeError, "%s is not callable", qualified.c_str());
    throw nb::python_error();
  }
  return fn.release().ptr();
}

nb::object call(PyObject* fn, std::initializer_list<PyObject*> args) {
  return checked(PyObject_Vectorcall(fn, args.begin(), args.size(), nullptr));
}

bool truth(const nb::object& obj) {
  const int truth = PyObject_IsTrue(obj.ptr());
  if (truth < 0) throw nb::python_error();
  return truth != 0;
}

std::string str_text(const nb::object& obj) { return text_from_python(checked(PyObject_Str(obj.ptr()))); }

std::optional<nb::object> call_or_nothing(const nb::object& fn, const nb::object& argument) {
  PyObject* answer = PyObject_CallOneArg(fn.ptr(), argument.ptr());
  if (answer != nullptr) return nb::steal(answer);
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
  PyErr_Clear();
  return std::nullopt;
}

std::optional<nb::object> attribute_or_nothing(const nb::object& obj, const char* name) {
  PyObject* found = PyObject_GetAttrString(obj.ptr(), name);
  if (found != nullptr) return nb::steal(found);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return std::nullopt;
}

void check_signals() {
  if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

}  // namespace varnel::bindings
