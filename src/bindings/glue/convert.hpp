// Conversions between Python objects and what the core holds, shared by
// every extension module: int <-> integer, float <-> real, dict <-> object in
// order, list/tuple -> array, str <-> text (lone surrogates preserved), and
// file-system paths in the bytes the system sees. Everything here requires
// the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/json_value.hpp"

namespace nb = nanobind;

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
// than the building itself.
class PythonBuilder {
 public:
  PythonBuilder();
  PythonBuilder(const PythonBuilder&) = delete;
  PythonBuilder& operator=(const PythonBuilder&) = delete;
  ~PythonBuilder();

  nb::object convert(const json::Value& value);
  nb::object convert(const json::Array& items);
  nb::object convert(const json::Object& members);

 private:
  // The one Python str of `text` for this builder (a borrowed reference).
  PyObject* shared_text(const std::string& text);

  bool gc_was_enabled_;
  std::unordered_map<std::string, PyObject*> texts_;
  std::vector<PyObject*> spare_;  // texts made once the table was full (owned)
};

// UTF-8 text of a Python str (surrogates kept in their generalised form);
// TypeError for anything else.
std::string text_from_python(nb::handle str);

// A Python str of UTF-8 text.
nb::str text_to_python(std::string_view text);

// The path of a str, bytes or os.PathLike (TypeError for anything else),
// as the file system's bytes; ValueError for an embedded NUL, at which every
// system call would stop reading.
std::filesystem::path path_from_python(nb::handle obj);

// A pathlib.Path for the path.
nb::object path_to_python(const std::filesystem::path& path);

// The path as pathlib.Path spells it (repeated separators and "." parts
// dropped), so that the paths built from it match those a host builds.
std::filesystem::path pathlib_form(const std::filesystem::path& path);

// The text of a path as a host gave it (os.fspath's str).
std::string path_text(const std::filesystem::path& path);

// The name of an object's type, as messages name it.
std::string type_name(nb::handle obj);

// A dict of str to str made of two text members of every record of a table.
template <class Table, class Record>
nb::dict text_dict(const Table& table, std::string_view Record::*key, std::string_view Record::*value) {
  nb::dict out;
  for (const Record& record : table) out[text_to_python(record.*key)] = text_to_python(record.*value);
  return out;
}

}  // namespace varnel::bindings
