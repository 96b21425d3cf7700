// nanobind type casters for what the core takes and gives: text (str, lone
// surrogates kept), file-system paths (str or os.PathLike in, pathlib.Path
// out) and JSON values, objects and arrays. Signatures show the real Python
// types, and an argument of the wrong kind is nanobind's TypeError.
//
// An argument of the right kind whose conversion fails (a path with a NUL
// byte, a dict holding something with no JSON form) raises the conversion's
// own error when the call begins: ValueError, or TypeError naming the type,
// as a host's own modules would. Nested in another caster (an optional, a
// list), or in a cast the C++ asks for itself, it is refused instead.
#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <type_traits>
#include <utility>

#include "bindings/glue/convert.hpp"
#include "common/json_value.hpp"

namespace nanobind::detail {

// What the casters below share: the argument's value, or the failure of its
// conversion kept until the call begins.
template <class T>
struct varnel_caster {
  using Value = T;
  template <typename T_>
  using Cast = movable_cast_t<T_>;
  template <typename T_>
  bool can_cast() const noexcept {
    return !failure;
  }
  explicit operator T*() { return &get(); }
  explicit operator T&() { return get(); }
  explicit operator T&&() { return std::move(get()); }

  // Converts a source of the right kind, keeping a failure for the call.
  template <class Convert>
  bool load(bool right_kind, uint32_t flags, Convert&& convert) noexcept {
    if (!right_kind) return false;
    try {
      value = convert();
    } catch (...) {
      if ((flags & cast_flags::manual) != 0) return false;
      failure = std::current_exception();
    }
    return true;
  }

  // A new reference to the Python object `convert` makes, or null with the
  // error set.
  template <class Convert>
  static handle make(Convert&& convert) noexcept {
    try {
      return convert().release();
    } catch (python_error& e) {
      e.restore();
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return handle();
  }

  T& get() {
    if (failure) std::rethrow_exception(std::exchange(failure, nullptr));
    return value;
  }

  T value;
  std::exception_ptr failure;
};

template <>
struct type_caster<std::string> : varnel_caster<std::string> {
  static constexpr auto Name = const_name("str");
  bool from_python(handle src, uint32_t flags, cleanup_list*) noexcept {
    return load(PyUnicode_Check(src.ptr()), flags, [&] { return varnel::bindings::text_from_python(src); });
  }
  static handle from_cpp(const std::string& text, rv_policy, cleanup_list*) noexcept {
    return make([&] { return varnel::bindings::text_to_python(text); });
  }
};

template <>
struct type_caster<std::filesystem::path> : varnel_caster<std::filesystem::path> {
  static constexpr auto Name = io_name("str | os.PathLike", "pathlib.Path");
  bool from_python(handle src, uint32_t flags, cleanup_list*) noexcept {
    const bool path_like = PyUnicode_Check(src.ptr()) || PyBytes_Check(src.ptr()) ||
                           PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(src.ptr())), "__fspath__");
    return load(path_like, flags, [&] { return varnel::bindings::path_from_python(src); });
  }
  static handle from_cpp(const std::filesystem::path& path, rv_policy, cleanup_list*) noexcept {
    return make([&] { return varnel::bindings::path_to_python(path); });
  }
};

template <class Json>
struct varnel_json_caster : varnel_caster<Json> {
  static constexpr bool kObject = std::is_same_v<Json, varnel::json::Object>;
  static constexpr bool kArray = std::is_same_v<Json, varnel::json::Array>;
  static constexpr auto Name = const_name<kObject>(const_name("dict[str, typing.Any]"),
                                                   const_name<kArray>("list[typing.Any]", "typing.Any"));

  bool from_python(handle src, uint32_t flags, cleanup_list*) noexcept {
    PyObject* o = src.ptr();
    const bool right_kind = kObject ? PyDict_Check(o) : !kArray || PyList_Check(o) || PyTuple_Check(o);
    return this->load(right_kind, flags, [&]() -> Json {
      varnel::json::Value v = varnel::bindings::from_python(src);
      if constexpr (kObject) {
        return std::move(v.as_object());
      } else if constexpr (kArray) {
        return std::move(v.as_array());
      } else {
        return v;
      }
    });
  }
  static handle from_cpp(const Json& v, rv_policy, cleanup_list*) noexcept {
    return varnel_json_caster::make([&] { return varnel::bindings::PythonBuilder().convert(v); });
  }
};

template <>
struct type_caster<varnel::json::Value> : varnel_json_caster<varnel::json::Value> {};
template <>
struct type_caster<varnel::json::Object> : varnel_json_caster<varnel::json::Object> {};
template <>
struct type_caster<varnel::json::Array> : varnel_json_caster<varnel::json::Array> {};

}  // namespace nanobind::detail
