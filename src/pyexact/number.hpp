// Metric numbers: integers and finite reals with the arithmetic of a Python
// host. Integers stay exact (128 bits hold any sum or difference of 64-bit
// inputs); mixing an integer with a real converts the integer to the nearest
// double first; comparisons between the kinds are exact; a quotient of two
// integers is correctly rounded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/json_value.hpp"
#include "pyexact/natural.hpp"

namespace varnel::pyexact {

class Num {
 public:
  static Num integer(Int128 v) {
    Num n;
    n.is_int_ = true;
    n.i_ = v;
    return n;
  }
  static Num real(double v) {
    Num n;
    n.is_int_ = false;
    n.d_ = v;
    return n;
  }

  bool is_int() const { return is_int_; }
  Int128 int_value() const { return i_; }
  double real_value() const { return d_; }
  // The nearest double (an integer rounds half to even).
  double to_double() const { return is_int_ ? static_cast<double>(i_) : d_; }

  // The JSON form: an integer (beyond 64 bits as exact digits) or a real.
  json::Value to_json() const;

  friend Num operator+(const Num& a, const Num& b);
  friend Num operator-(const Num& a, const Num& b);
  friend Num abs(const Num& a);
  // Exact three-way comparison across kinds: -1, 0 or 1; 2 when either is NaN.
  friend int compare(const Num& a, const Num& b) {
    if (a.is_int_ && b.is_int_) return (a.i_ > b.i_) - (a.i_ < b.i_);
    if (!a.is_int_ && !b.is_int_) {
      if (a.d_ < b.d_) return -1;
      if (a.d_ > b.d_) return 1;
      return a.d_ == b.d_ ? 0 : 2;
    }
    return compare_mixed(a, b);
  }

 private:
  Num() : i_(0) {}
  static int compare_mixed(const Num& a, const Num& b);

  union {
    Int128 i_;
    double d_;
  };
  bool is_int_ = true;
};

// a / b as a host divides: always a real, exact-then-rounded for two integers.
double divide(const Num& a, const Num& b);

// Exact comparison of an integer and a finite double: -1, 0 or 1.
int compare_int_real(Int128 i, double d);

// The JSON number as a Num: nullopt for null and for NaN and the infinities
// (not a measurement). Throws TypeMismatchError for anything that is not a
// number, booleans included, and OverflowError for an integer beyond 100
// bits. `what` names the value in those messages.
std::optional<Num> num_from_json(const json::Value& v, const std::string& what);

// Decimal digits of a 128-bit integer.
std::string int128_digits(Int128 v);

}  // namespace varnel::pyexact
