// Calls into Python for the ports and the modules: references, truth values,
// errors and the GIL handled one way.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>

#include "bindings/glue/convert.hpp"
#include "bindings/glue/imports.hpp"
#include "bindings/glue/nb.hpp"

namespace varnel::bindings {

// For a binding whose C++ call runs without the GIL: its arguments are
// converted before the call and its result after.
using without_gil = nb::call_guard<nb::gil_scoped_release>;

// work() run without the GIL, within a binding that needs the GIL around it;
// its result must hold no Python object.
template <class Work>
auto unlocked(Work&& work) {
  nb::gil_scoped_release released;
  return work();
}

// Owns a new reference returned by the C API; raises the pending Python
// error when it is null.
inline nb::object checked(PyObject* obj) {
  if (obj == nullptr) throw nb::python_error();
  return nb::steal(obj);
}

// A new strong reference to the callable `name` of a module, for a port that
// keeps it for the process's life; TypeError naming it when it is not
// callable (AttributeError when absent).
inline PyObject* bind_function(PythonModule module, const char* name) {
  nb::object fn = import_module(module).attr(name);
  if (!PyCallable_Check(fn.ptr())) {
    const std::string qualified = std::string(kPythonModules[static_cast<std::size_t>(module)]) + "." + name;
    throw nb::type_error((qualified + " is not callable").c_str());
  }
  return fn.release().ptr();
}

// fn(*args), the arguments borrowed.
inline nb::object call(PyObject* fn, std::initializer_list<PyObject*> args) {
  return checked(PyObject_Vectorcall(fn, args.begin(), args.size(), nullptr));
}

// The truth value of an object, as `if` sees it.
inline bool truth(const nb::object& obj) {
  const int truth = PyObject_IsTrue(obj.ptr());
  if (truth < 0) throw nb::python_error();
  return truth != 0;
}

// The text of str(obj).
inline std::string str_text(const nb::object& obj) { return text_from_python(checked(PyObject_Str(obj.ptr()))); }

// What `attempt` makes of a new reference, or nothing when it failed with an
// error of `kind` (an interrupt or an exit still propagates).
inline std::optional<nb::object> unless_raised(PyObject* attempt, PyObject* kind) {
  if (attempt != nullptr) return nb::steal(attempt);
  if (!PyErr_ExceptionMatches(kind)) throw nb::python_error();
  PyErr_Clear();
  return std::nullopt;
}

// fn(argument), or nothing when the call raised an ordinary Exception.
inline std::optional<nb::object> call_or_nothing(const nb::object& fn, const nb::object& argument) {
  return unless_raised(PyObject_CallOneArg(fn.ptr(), argument.ptr()), PyExc_Exception);
}

// The attribute `name` of an object, or nothing when it has none.
inline std::optional<nb::object> attribute_or_nothing(const nb::object& obj, const char* name) {
  return unless_raised(PyObject_GetAttrString(obj.ptr(), name), PyExc_AttributeError);
}

// Raises KeyboardInterrupt (or whatever a signal handler raises) when a
// signal arrived; for long waits on the calling thread.
inline void check_signals() {
  if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

}  // namespace varnel::bindings
