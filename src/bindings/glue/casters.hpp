// nanobind type casters for what the core takes and gives: text (str, lone
// surrogates kept), file-system paths (str or os.PathLike in, pathlib.Path
// out) and JSON values, objects and arrays, all built on the one conversion
// unit. A signature then shows the real Python types, and an argument of the
// wrong kind is a TypeError raised by nanobind.
//
// An argument of the right kind whose conversion fails (a path with a NUL
// byte, a dict holding something with no JSON form) raises the conversion's
// own error when the call begins: ValueError, or TypeError naming the type,
// as a host's own modules would.
#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <type_traits>
#include <utility>

#include "bindings/glue/convert.hpp"
#include "common/json_value.hpp"

namespace nanobind::detail {

// The argument's value, or the failure of its conversion kept for the call.
// A caster nested in another (an optional, a list) refuses instead, since
// its owner converts inside nanobind's overload resolution.
template <class T>
struct varnel_deferring_caster {
  using Value = T;
  template <typename T_>
  using Cast = movable_cast_t<T_>;
  template <typename T_>
  bool can_cast() const noexcept {
    return !failure_;
  }
  explicit operator T*() { return &get(); }
  explicit operator T&() { return get(); }
  explicit operator T&&() { return std::move(get()); }

  T value;

 protected:
  // Converts `src` of the right kind with `convert`. A failure is kept for
  // the call, or refused for a cast the C++ asked for itself.
  template <class Convert>
  bool load(uint32_t flags, Convert&& convert) noexcept {
    try {
      value = convert();
    } catch (...) {
      if ((flags & cast_flags::manual) != 0) return false;
      failure_ = std::current_exception();
    }
    return true;
  }

 private:
  T& get() {
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    return value;
  }
  std::exception_ptr failure_;
};

template <>
struct type_caster<std::string> {
  NB_TYPE_CASTER(std::string, const_name("str"))

  bool from_python(handle src, uint32_t, cleanup_list*) noexcept {
    if (!PyUnicode_Check(src.ptr())) return false;
    try {
      value = varnel::bindings::text_from_python(src);
      return true;
    } catch (python_error&) {
      return false;
    }
  }

  static handle from_cpp(const std::string& text, rv_policy, cleanup_list*) noexcept {
    try {
      return varnel::bindings::text_to_python(text).release();
    } catch (python_error& e) {
      e.restore();
      return handle();
    }
  }
};

template <>
struct type_caster<std::filesystem::path> : varnel_deferring_caster<std::filesystem::path> {
  static constexpr auto Name = io_name("str | os.PathLike", "pathlib.Path");

  bool from_python(handle src, uint32_t flags, cleanup_list*) noexcept {
    const bool path_like = PyUnicode_Check(src.ptr()) || PyBytes_Check(src.ptr()) ||
                           PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(src.ptr())), "__fspath__");
    return path_like && load(flags, [&] { return varnel::bindings::path_from_python(src); });
  }

  static handle from_cpp(const std::filesystem::path& path, rv_policy, cleanup_list*) noexcept {
    try {
      return varnel::bindings::path_to_python(path).release();
    } catch (python_error& e) {
      e.restore();
      return handle();
    }
  }
};

// The Python type a signature shows for each kind of JSON.
template <class Json>
constexpr auto varnel_json_name() {
  if constexpr (std::is_same_v<Json, varnel::json::Object>) {
    return const_name("dict[str, typing.Any]");
  } else if constexpr (std::is_same_v<Json, varnel::json::Array>) {
    return const_name("list[typing.Any]");
  } else {
    return const_name("typing.Any");
  }
}

template <class Json>
struct varnel_json_caster : varnel_deferring_caster<Json> {
  static constexpr auto Name = varnel_json_name<Json>();

  bool from_python(handle src, uint32_t flags, cleanup_list*) noexcept {
    if constexpr (std::is_same_v<Json, varnel::json::Object>) {
      if (!PyDict_Check(src.ptr())) return false;
    } else if constexpr (std::is_same_v<Json, varnel::json::Array>) {
      if (!PyList_Check(src.ptr()) && !PyTuple_Check(src.ptr())) return false;
    }
    return this->load(flags, [&] {
      varnel::json::Value v = varnel::bindings::from_python(src);
      if constexpr (std::is_same_v<Json, varnel::json::Object>) {
        return std::move(v.as_object());
      } else if constexpr (std::is_same_v<Json, varnel::json::Array>) {
        return std::move(v.as_array());
      } else {
        return v;
      }
    });
  }

  static handle from_cpp(const Json& v, rv_policy, cleanup_list*) noexcept {
    try {
      return varnel::bindings::PythonBuilder().convert(v).release();
    } catch (python_error& e) {
      e.restore();
      return handle();
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
      return handle();
    }
  }
};

template <>
struct type_caster<varnel::json::Value> : varnel_json_caster<varnel::json::Value> {};
template <>
struct type_caster<varnel::json::Object> : varnel_json_caster<varnel::json::Object> {};
template <>
struct type_caster<varnel::json::Array> : varnel_json_caster<varnel::json::Array> {};

}  // namespace nanobind::detail
