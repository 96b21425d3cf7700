// Conversions between Python objects and what the core holds.
#include "bindings/glue/convert.hpp"

#include <algorithm>
#include <vector>

#include "bindings/glue/imports.hpp"
#include "bindings/glue/nb.hpp"
#include "bindings/glue/python_call.hpp"
#include "common/json_reader.hpp"
#include "common/number_format.hpp"

namespace varnel::bindings {

namespace {

[[noreturn]] void raise_python() { throw nb::python_error(); }

class FromPython {
 public:
  json::Value convert(PyObject* obj) {
    if (obj == Py_None) return json::Value();
    if (PyBool_Check(obj)) return json::Value(obj == Py_True);
    if (PyLong_Check(obj)) return integer(obj);
    if (PyFloat_Check(obj)) return json::Value(PyFloat_AsDouble(obj));
    if (PyUnicode_Check(obj)) return json::Value(text_from_python(obj));
    if (PyList_Check(obj) || PyTuple_Check(obj)) return sequence(obj);
    if (PyDict_Check(obj)) return mapping(obj);
    PyErr_Format(PyExc_TypeError, "Object of type %s is not JSON serializable", Py_TYPE(obj)->tp_name);
    raise_python();
  }

 private:
  static json::Value integer(PyObject* obj) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) {
      if (v == -1 && PyErr_Occurred()) raise_python();
      return json::Value(static_cast<std::int64_t>(v));
    }
    nb::object digits = checked(PyObject_Str(obj));
    return json::Value(json::BigInt{text_from_python(digits)});
  }

  // Containers on the current path, to refuse a structure that holds itself.
  void enter(PyObject* obj) {
    if (std::find(active_.begin(), active_.end(), obj) != active_.end()) {
      PyErr_SetString(PyExc_ValueError, "Circular reference detected");
      raise_python();
    }
    if (active_.size() >= static_cast<std::size_t>(json::kMaxDepth)) {
      PyErr_SetString(PyExc_RecursionError, "maximum nesting depth exceeded while converting to JSON");
      raise_python();
    }
    active_.push_back(obj);
  }

  json::Value sequence(PyObject* obj) {
    enter(obj);
    nb::object fast = checked(PySequence_Fast(obj, "expected a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    PyObject** items = PySequence_Fast_ITEMS(fast.ptr());
    json::Array out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(convert(items[i]));
    active_.pop_back();
    return json::Value(std::move(out));
  }

  // Keys as a host's JSON encoder turns them into text.
  static std::string key_text(PyObject* key) {
    if (PyUnicode_Check(key)) return text_from_python(key);
    if (key == Py_None) return "null";
    if (PyBool_Check(key)) return key == Py_True ? "true" : "false";
    if (PyLong_Check(key)) return text_from_python(checked(PyObject_Str(key)));
    if (PyFloat_Check(key)) {
      std::string out;
      numfmt::append_json_real(out, PyFloat_AsDouble(key));
      return out;
    }
    PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %s", Py_TYPE(key)->tp_name);
    raise_python();
  }

  json::Value mapping(PyObject* obj) {
    enter(obj);
    json::Object out;
    out.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      // Every key of a dict is distinct; keys that become equal text (1 and
      // "1") are kept apart, as a host's encoder writes both.
      out.append(key_text(key), convert(value));
    }
    active_.pop_back();
    return json::Value(std::move(out));
  }

  std::vector<PyObject*> active_;
};

}  // namespace

PythonBuilder::PythonBuilder() : gc_was_enabled_(PyGC_Disable() != 0) {}

PythonBuilder::~PythonBuilder() {
  for (auto& [text, obj] : texts_) Py_XDECREF(obj);
  for (PyObject* obj : spare_) Py_DECREF(obj);
  if (gc_was_enabled_) PyGC_Enable();
}

PyObject* PythonBuilder::shared_text(const std::string& text) {
  // Bounded, so that a map of countless distinct keys is not held twice.
  constexpr std::size_t kMaxShared = 4096;
  if (auto it = texts_.find(text); it != texts_.end()) return it->second;
  PyObject* str = text_to_python(text).release().ptr();
  if (texts_.size() < kMaxShared) {
    texts_.emplace(text, str);
  } else {
    spare_.push_back(str);
  }
  return str;
}

nb::object PythonBuilder::convert(const json::Value& v) {
  // Texts up to this length are shared: keys, labels, metric names.
  constexpr std::size_t kSharedTextLength = 24;
  using Kind = json::Value::Kind;
  switch (v.kind()) {
    case Kind::Null: return nb::none();
    case Kind::Bool: return nb::bool_(v.as_bool());
    case Kind::Int: return checked(PyLong_FromLongLong(v.as_int()));
    case Kind::BigInt: return checked(PyLong_FromString(v.as_bigint().digits.c_str(), nullptr, 10));
    case Kind::Real: return checked(PyFloat_FromDouble(v.as_real()));
    case Kind::String:
      return v.as_string().size() <= kSharedTextLength ? nb::borrow(shared_text(v.as_string()))
                                                       : nb::object(text_to_python(v.as_string()));
    case Kind::Array: return convert(v.as_array());
    case Kind::Object: return convert(v.as_object());
  }
  return nb::none();
}

nb::object PythonBuilder::convert(const json::Array& items) {
  nb::object list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (const json::Value& item : items) PyList_SET_ITEM(list.ptr(), i++, convert(item).release().ptr());
  return list;
}

nb::object PythonBuilder::convert(const json::Object& members) {
  nb::object dict = checked(PyDict_New());
  for (const json::Member& m : members) {
    nb::object value = convert(m.value);
    if (PyDict_SetItem(dict.ptr(), shared_text(m.key), value.ptr()) != 0) raise_python();
  }
  return dict;
}

json::Value from_python(nb::handle obj) { return FromPython().convert(obj.ptr()); }

nb::object to_python(const json::Value& value) { return PythonBuilder().convert(value); }

std::string text_from_python(nb::handle str) {
  if (!PyUnicode_Check(str.ptr())) {
    PyErr_Format(PyExc_TypeError, "expected str, not %s", Py_TYPE(str.ptr())->tp_name);
    raise_python();
  }
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size)) {
    return std::string(data, static_cast<std::size_t>(size));
  }
  // Lone surrogates have no UTF-8 form; keep them in the generalised one.
  PyErr_Clear();
  nb::object bytes = checked(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
  return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

nb::str text_to_python(std::string_view text) {
  return nb::steal<nb::str>(
      checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"))
          .release());
}

std::filesystem::path path_from_python(nb::handle obj) {
  nb::object fs = checked(PyOS_FSPath(obj.ptr()));
  // The file system encoding with surrogateescape gives back the original bytes.
  nb::object bytes = PyBytes_Check(fs.ptr()) ? fs : checked(PyUnicode_EncodeFSDefault(fs.ptr()));
  std::string raw(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
  if (raw.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    raise_python();
  }
  return std::filesystem::path(std::move(raw));
}

namespace {

// The str a host's os.fsdecode gives for a path's bytes.
nb::object decoded(const std::filesystem::path& path) {
  const std::string& native = path.native();
  return checked(PyUnicode_DecodeFSDefaultAndSize(native.data(), static_cast<Py_ssize_t>(native.size())));
}

}  // namespace

nb::object path_to_python(const std::filesystem::path& path) {
  return import_module(PythonModule::Pathlib).attr("Path")(decoded(path));
}

std::filesystem::path pathlib_form(const std::filesystem::path& path) {
  return path_from_python(path_to_python(path));
}

std::string path_text(const std::filesystem::path& path) { return text_from_python(decoded(path)); }

std::string type_name(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

}  // namespace varnel::bindings
