// Maps the core's error kinds to the Python exceptions a host expects.
#pragma once

namespace varnel::bindings {

// Registers the translator once per process; every module calls it at import.
void register_error_translator();

}  // namespace varnel::bindings
