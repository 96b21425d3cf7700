// Calls into Python for the ports and the modules: references, truth values
// and errors handled one way.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>

#include "bindings/glue/imports.hpp"
#include "bindings/glue/nb.hpp"

namespace varnel::bindings {

// Owns a new reference returned by the C API; raises the pending Python
// error when it is null.
nb::object checked(PyObject* obj);

// A new strong reference to the callable `name` of a module, for a port that
// keeps it for the process's life; raises TypeError naming it when it is
// not callable (AttributeError when absent).
PyObject* bind_function(PythonModule module, const char* name);

// fn(*args), the arguments borrowed.
nb::object call(PyObject* fn, std::initializer_list<PyObject*> args);

// The truth value of an object, as `if` sees it.
bool truth(const nb::object& obj);

// The text of str(obj).
std::string str_text(const nb::object& obj);

// fn(argument), or nothing when the call raised an ordinary Exception (an
// interrupt or an exit still propagates).
std::optional<nb::object> call_or_nothing(const nb::object& fn, const nb::object& argument);

// The attribute `name` of an object, or nothing when it has none.
std::optional<nb::object> attribute_or_nothing(const nb::object& obj, const char* name);

// Raises KeyboardInterrupt (or whatever a signal handler raises) when a
// signal arrived; for long waits on the calling thread.
void check_signals();

}  // namespace varnel::bindings
