// Maps the core's error kinds to the Python exceptions a host expects.
#pragma once

#include <exception>

#include "bindings/nb.hpp"

namespace varnel::bindings {

// Registers the translator once per process; every module calls it at import.
void register_error_translator();

// The Python exception object that a C++ failure maps to, as a host would
// catch it (the error indicator is left clear). Requires the GIL.
nb::object python_exception(const std::exception_ptr& failure);

}  // namespace varnel::bindings
