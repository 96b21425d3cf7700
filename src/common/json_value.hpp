// The JSON value every engine reads, builds and writes. Objects keep their
// members in insertion order; integers and reals stay distinct kinds from
// reading to writing, since the files written depend on it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace varnel::json {

class Value;
struct Member;

// The JSON null.
struct Null {
  friend bool operator==(Null, Null) { return true; }
};

// An integer outside the 64-bit range, kept exactly as its decimal digits
// (optional "-", no leading zeros) so that copying it never changes it.
struct BigInt {
  std::string digits;
  friend bool operator==(const BigInt&, const BigInt&) = default;
};

using Array = std::vector<Value>;

// An object: members in insertion order, keys unique.
class Object {
 public:
  using iterator = std::vector<Member>::iterator;
  using const_iterator = std::vector<Member>::const_iterator;

  // The value of `key`, or nullptr when absent.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // The value of `key`; throws MissingKeyError naming it when absent.
  const Value& at(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Sets `key`: an existing member keeps its position and takes the value,
  // a new one is appended.
  void set(std::string key, Value value);
  // Appends without looking for an existing member; the caller guarantees
  // the key is new (records built in a fixed field order).
  void append(std::string key, Value value);
  void reserve(std::size_t n) { members_.reserve(n); }

  std::size_t size() const { return members_.size(); }
  bool empty() const { return members_.empty(); }
  iterator begin() { return members_.begin(); }
  iterator end() { return members_.end(); }
  const_iterator begin() const { return members_.begin(); }
  const_iterator end() const { return members_.end(); }

  friend bool operator==(const Object& a, const Object& b);

 private:
  std::vector<Member> members_;
};

class Value {
 public:
  enum class Kind { Null, Bool, Int, BigInt, Real, String, Array, Object };

  Value() : data_(Null{}) {}
  Value(Null) : data_(Null{}) {}
  Value(std::nullptr_t) : data_(Null{}) {}
  Value(bool b) : data_(b) {}
  Value(int i) : data_(static_cast<std::int64_t>(i)) {}
  Value(std::int64_t i) : data_(i) {}
  Value(BigInt b) : data_(std::move(b)) {}
  Value(double d) : data_(d) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(Array a) : data_(std::move(a)) {}
  Value(Object o) : data_(std::move(o)) {}

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_bool() const { return kind() == Kind::Bool; }
  bool is_int() const { return kind() == Kind::Int; }
  bool is_bigint() const { return kind() == Kind::BigInt; }
  bool is_real() const { return kind() == Kind::Real; }
  // Integer or real (booleans are not numbers here).
  bool is_number() const { return is_int() || is_bigint() || is_real(); }
  bool is_string() const { return kind() == Kind::String; }
  bool is_array() const { return kind() == Kind::Array; }
  bool is_object() const { return kind() == Kind::Object; }

  // Unchecked accessors: the kind must match.
  bool as_bool() const { return std::get<bool>(data_); }
  std::int64_t as_int() const { return std::get<std::int64_t>(data_); }
  const BigInt& as_bigint() const { return std::get<BigInt>(data_); }
  double as_real() const { return std::get<double>(data_); }
  const std::string& as_string() const { return std::get<std::string>(data_); }
  const Array& as_array() const { return std::get<Array>(data_); }
  Array& as_array() { return std::get<Array>(data_); }
  const Object& as_object() const { return std::get<Object>(data_); }
  Object& as_object() { return std::get<Object>(data_); }

  // The number as a double, the way a host converts it: integers round to
  // the nearest double; a boolean counts as 0 or 1. Throws TypeMismatchError
  // for anything else, OverflowError for an integer beyond the double range.
  double to_double() const;

  // Member lookup on an object; throws TypeMismatchError on other kinds and
  // MissingKeyError when the key is absent.
  const Value& at(std::string_view key) const;
  // Member lookup that yields nullptr for an absent key or a non-object.
  const Value* get(std::string_view key) const;

  // Structural equality; kinds must match (1 and 1.0 differ).
  friend bool operator==(const Value& a, const Value& b) { return a.data_ == b.data_; }

 private:
  std::variant<Null, bool, std::int64_t, BigInt, double, std::string, Array, Object> data_;
};

struct Member {
  std::string key;
  Value value;
  friend bool operator==(const Member&, const Member&) = default;
};

// The name of a kind, as a host would say it ("int", "float", "str", ...).
const char* kind_name(Value::Kind kind);

}  // namespace varnel::json
