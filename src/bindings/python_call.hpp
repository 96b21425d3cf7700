// Small helpers for the port adapters that call the host's Python modules.
#pragma once

#include "bindings/nb.hpp"

namespace varnel::bindings {

// Owns a new reference returned by the C API; raises the pending Python
// error when it is null.
nb::object checked(PyObject* obj);

// A new strong reference to the callable `module.name`; raises TypeError
// naming `qualified` when it is not callable (AttributeError when absent).
PyObject* bind_function(nb::handle module, const char* name, const char* qualified);

}  // namespace varnel::bindings
