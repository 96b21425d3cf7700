// Maps the core's error kinds to the Python exceptions a host expects.
#pragma once

#include <exception>
#include <string>

#include "bindings/glue/nb.hpp"

namespace varnel::bindings {

// Registers the translator once per process; every module calls it at import.
void register_error_translator();

// The text of the Python exception a failure maps to, str() of what a host
// would catch (the error indicator is left clear). Requires the GIL.
std::string failure_text(const std::exception_ptr& failure);

}  // namespace varnel::bindings
