// Object member access and number conversion of the JSON value.
#include "common/json_value.hpp"

#include <charconv>
#include <cmath>

#include "common/errors.hpp"
#include "common/real_text.hpp"

namespace varnel::json {

const Value* Object::find(std::string_view key) const {
  for (const Member& m : members_) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

Value* Object::find(std::string_view key) {
  return const_cast<Value*>(std::as_const(*this).find(key));
}

const Value& Object::at(std::string_view key) const {
  if (const Value* v = find(key)) return *v;
  throw MissingKeyError(std::string(key));
}

void Object::set(std::string key, Value value) {
  if (Value* v = find(key)) {
    *v = std::move(value);
  } else {
    members_.push_back(Member{std::move(key), std::move(value)});
  }
}

void Object::append(std::string key, Value value) {
  members_.push_back(Member{std::move(key), std::move(value)});
}

bool operator==(const Object& a, const Object& b) { return a.members_ == b.members_; }

double Value::to_double() const {
  switch (kind()) {
    case Kind::Real:
      return as_real();
    case Kind::Int:
      return static_cast<double>(as_int());
    case Kind::Bool:
      return as_bool() ? 1.0 : 0.0;
    case Kind::BigInt: {
      const std::string& d = as_bigint().digits;
      double out = 0.0;
      if (realtext::parse(d.data(), d.data() + d.size(), out) != std::errc() || !std::isfinite(out)) {
        throw OverflowError("int too large to convert to float");
      }
      return out;
    }
    default:
      throw TypeMismatchError(std::string("must be real number, not ") + kind_name(kind()));
  }
}

const Value& Value::at(std::string_view key) const {
  if (!is_object()) {
    throw TypeMismatchError(std::string("expected an object, not ") + kind_name(kind()));
  }
  return as_object().at(key);
}

const Value* Value::get(std::string_view key) const {
  return is_object() ? as_object().find(key) : nullptr;
}

const char* kind_name(Value::Kind kind) {
  switch (kind) {
    case Value::Kind::Null:
      return "NoneType";
    case Value::Kind::Bool:
      return "bool";
    case Value::Kind::Int:
    case Value::Kind::BigInt:
      return "int";
    case Value::Kind::Real:
      return "float";
    case Value::Kind::String:
      return "str";
    case Value::Kind::Array:
      return "list";
    case Value::Kind::Object:
      return "dict";
  }
  return "unknown";
}

}  // namespace varnel::json
