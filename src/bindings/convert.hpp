// Conversions between Python objects and the core's JSON value, shared by
// every extension module: int <-> integer, float <-> real, dict <-> object in
// order, list/tuple -> array, str <-> text (lone surrogates preserved).
#pragma once

#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "bindings/nb.hpp"
#include "common/json_value.hpp"

namespace varnel::bindings {

// The JSON value of a Python object. Raises TypeError for an object with no
// JSON form and ValueError for a circular structure.
json::Value from_python(nb::handle obj);

// A new Python object for the value.
nb::object to_python(const json::Value& value);

// Builds Python objects for many values in a row. Keys and short texts repeat
// across the records of a result, so each distinct one is made once and
// shared; the cyclic collector is paused meanwhile, since nothing built here
// can form a cycle and its passes over millions of new containers cost more
// than the building itself. Requires the GIL for its whole life.
class PythonBuilder {
 public:
  PythonBuilder();
  PythonBuilder(const PythonBuilder&) = delete;
  PythonBuilder& operator=(const PythonBuilder&) = delete;
  ~PythonBuilder();

  nb::object convert(const json::Value& value);

 private:
  // The one Python str of `text` for this builder (a borrowed reference).
  PyObject* shared_text(const std::string& text);

  bool gc_was_enabled_;
  std::unordered_map<std::string, PyObject*> texts_;
  std::vector<PyObject*> spare_;  // texts made once the table was full (owned)
};

// UTF-8 text of a Python str (surrogates kept in their generalised form).
std::string text_from_python(nb::handle str);

// A Python str of UTF-8 text.
nb::str text_to_python(std::string_view text);

// A filesystem path from str or os.PathLike.
std::filesystem::path path_from_python(nb::handle obj);

// A pathlib.Path for the path.
nb::object path_to_python(const std::filesystem::path& path);

}  // namespace varnel::bindings
