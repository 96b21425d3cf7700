// Reference and error handling of calls into Python.
#include "bindings/python_call.hpp"

namespace varnel::bindings {

nb::object checked(PyObject* obj) {
  if (obj == nullptr) throw nb::python_error();
  return nb::steal(obj);
}

PyObject* bind_function(nb::handle module, const char* name, const char* qualified) {
  nb::object fn = module.attr(name);
  if (!PyCallable_Check(fn.ptr())) {
    PyErr_Format(PyExc_TypeError, "%s is not callable", qualified);
    throw nb::python_error();
  }
  return fn.release().ptr();
}

}  // namespace varnel::bindings
