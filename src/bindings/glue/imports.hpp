// The one registry of the Python modules the engines call: every import the
// C++ makes goes through here, so this list names each outside module a
// host must provide.
#pragma once

#include <array>
#include <cstddef>

#include "bindings/glue/nb.hpp"

namespace varnel::bindings {

enum class PythonModule : std::size_t {
  Builtins,        // print, for the lines a host may redirect
  Json,            // JSONDecodeError
  Logging,         // the pattern engine's logger
  Pathlib,         // the paths handed back
  Sqlite3,         // the database errors
  Accepted,        // the team's accepted deviations
  EnvFile,         // the user's environment file
  Friendly,        // the everyday phrases
  History,         // comparing two advisories
  LlmAnthropic,    // a language-model client
  LlmOpenRouter,   // another
  Lorekeep,        // the knowledge base's classes
  ValidationGate,  // the gate on model texts
};

// The modules' names, in the order above.
inline constexpr std::array<const char*, 13> kPythonModules = {
    "builtins",        "json",           "logging",         "pathlib",        "sqlite3",
    "varnel.accepted", "varnel.envfile", "varnel.friendly", "varnel.history", "varnel.llm_anthropic",
    "varnel.llm_openrouter", "varnel.lorekeep", "varnel.validation_gate"};
static_assert(kPythonModules.size() == static_cast<std::size_t>(PythonModule::ValidationGate) + 1);

// The module, imported on first use; later calls find it in sys.modules, so
// a host that replaces a module's attribute is seen at the next call.
inline nb::module_ import_module(PythonModule which) {
  return nb::module_::import_(kPythonModules[static_cast<std::size_t>(which)]);
}

// `from <module> import <name>`, or None when the module cannot be imported
// or lacks the name.
inline nb::object import_optional(PythonModule module, const char* name) {
  try {
    return import_module(module).attr(name);
  } catch (nb::python_error& e) {
    if (e.matches(PyExc_ImportError) || e.matches(PyExc_AttributeError)) return nb::none();
    throw;
  }
}

// The names of kPythonModules as a tuple of str.
inline nb::tuple python_module_names() {
  nb::list names;
  for (const char* name : kPythonModules) names.append(nb::str(name));
  return nb::tuple(names);
}

}  // namespace varnel::bindings
