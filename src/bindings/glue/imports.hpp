// The one registry of the Python modules the engines call: every import the
// C++ makes goes through here, so this list names each outside module a
// host must provide.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

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
inline constexpr std::array<std::string_view, 13> kPythonModules = {
    "builtins",        "json",           "logging",         "pathlib",        "sqlite3",
    "varnel.accepted", "varnel.envfile", "varnel.friendly", "varnel.history", "varnel.llm_anthropic",
    "varnel.llm_openrouter", "varnel.lorekeep", "varnel.validation_gate"};
static_assert(kPythonModules.size() == static_cast<std::size_t>(PythonModule::ValidationGate) + 1);

// The module, imported on first use; later calls find it in sys.modules, so
// a host that replaces a module's attribute is seen at the next call.
inline nb::module_ import_module(PythonModule which) {
  return nb::module_::import_(std::string(kPythonModules[static_cast<std::size_t>(which)]).c_str());
}

// The names of kPythonModules as a tuple of str.
inline nb::tuple python_module_names() {
  nb::list names;
  for (std::string_view name : kPythonModules) names.append(nb::str(name.data(), name.size()));
  return nb::tuple(names);
}

}  // namespace varnel::bindings
