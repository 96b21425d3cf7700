// Importing the outside modules.
#include "bindings/glue/imports.hpp"

#include <string>

namespace varnel::bindings {

nb::module_ import_module(PythonModule which) {
  const std::string name(kPythonModules[static_cast<std::size_t>(which)]);
  return nb::module_::import_(name.c_str());
}

nb::tuple python_module_names() {
  nb::list names;
  for (std::string_view name : kPythonModules) names.append(nb::str(name.data(), name.size()));
  return nb::tuple(names);
}

}  // namespace varnel::bindings
