// nanobind type casters for the core's JSON value, object and array, built on
// the one conversion unit. For signatures that carry JSON both ways, such as
// an interface whose Python overrides receive and return records.
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

#include "bindings/convert.hpp"
#include "bindings/nb.hpp"
#include "common/json_value.hpp"

namespace nanobind::detail {

// The Python type a signature shows for each kind.
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
struct varnel_json_caster {
  NB_TYPE_CASTER(Json, varnel_json_name<Json>())

  bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
    try {
      varnel::json::Value v = varnel::bindings::from_python(src);
      if constexpr (std::is_same_v<Json, varnel::json::Object>) {
        if (!v.is_object()) return false;
        value = std::move(v.as_object());
      } else if constexpr (std::is_same_v<Json, varnel::json::Array>) {
        if (!v.is_array()) return false;
        value = std::move(v.as_array());
      } else {
        value = std::move(v);
      }
      return true;
    } catch (const std::exception&) {
      // A value without a JSON form: the call reports a TypeError.
      PyErr_Clear();
      return false;
    }
  }

  static handle from_cpp(const Json& v, rv_policy, cleanup_list*) noexcept {
    try {
      if constexpr (std::is_same_v<Json, varnel::json::Value>) {
        return varnel::bindings::to_python(v).release();
      } else {
        return varnel::bindings::to_python(varnel::json::Value(v)).release();
      }
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
