// Metric numbers with a Python host's arithmetic.
#include "pyexact/number.hpp"

#include <cmath>
#include <limits>

#include "common/errors.hpp"
#include "pyexact/natural.hpp"

namespace varnel::pyexact {

namespace {

UInt128 magnitude(Int128 v) {
  return v < 0 ? static_cast<UInt128>(0) - static_cast<UInt128>(v)
               : static_cast<UInt128>(v);
}

}  // namespace

std::string int128_digits(Int128 v) {
  UInt128 m = magnitude(v);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  } while (m != 0);
  if (v < 0) digits.insert(digits.begin(), '-');
  return digits;
}

json::Value Num::to_json() const {
  if (!is_int_) return json::Value(d_);
  if (i_ >= std::numeric_limits<std::int64_t>::min() && i_ <= std::numeric_limits<std::int64_t>::max()) {
    return json::Value(static_cast<std::int64_t>(i_));
  }
  return json::Value(json::BigInt{int128_digits(i_)});
}

Num operator+(const Num& a, const Num& b) {
  if (a.is_int_ && b.is_int_) return Num::integer(a.i_ + b.i_);
  return Num::real(a.to_double() + b.to_double());
}

Num operator-(const Num& a, const Num& b) {
  if (a.is_int_ && b.is_int_) return Num::integer(a.i_ - b.i_);
  return Num::real(a.to_double() - b.to_double());
}

Num abs(const Num& a) { return a.is_int_ ? Num::integer(a.i_ < 0 ? -a.i_ : a.i_) : Num::real(std::fabs(a.d_)); }

int compare_int_real(Int128 i, double d) {
  constexpr double kTwo127 = 170141183460469231731687303715884105728.0;
  if (d >= kTwo127) return -1;
  if (d < -kTwo127) return 1;
  const double whole = std::trunc(d);
  const auto t = static_cast<Int128>(whole);
  if (i != t) return i < t ? -1 : 1;
  const double frac = d - whole;
  return frac > 0 ? -1 : (frac < 0 ? 1 : 0);
}

int Num::compare_mixed(const Num& a, const Num& b) {
  const Num& real = a.is_int_ ? b : a;
  if (std::isnan(real.d_)) return 2;  // NaN is unordered: different from everything
  return a.is_int_ ? compare_int_real(a.i_, b.d_) : -compare_int_real(b.i_, a.d_);
}

double divide(const Num& a, const Num& b) {
  if (!(a.is_int() && b.is_int())) return a.to_double() / b.to_double();
  if (b.int_value() == 0) throw InvalidValueError("division by zero");
  const double q =
      ratio_to_double(Natural::from_u128(magnitude(a.int_value())), Natural::from_u128(magnitude(b.int_value())));
  return (a.int_value() < 0) != (b.int_value() < 0) ? -q : q;
}

std::optional<Num> num_from_json(const json::Value& v, const std::string& what) {
  switch (v.kind()) {
    case json::Value::Kind::Null:
      return std::nullopt;
    case json::Value::Kind::Int:
      return Num::integer(v.as_int());
    case json::Value::Kind::Real:
      if (!std::isfinite(v.as_real())) return std::nullopt;
      return Num::real(v.as_real());
    case json::Value::Kind::BigInt: {
      const std::string& digits = v.as_bigint().digits;
      const bool negative = digits[0] == '-';
      UInt128 m = 0;
      // Beyond 2^100 sums and differences of a few values could leave 128 bits.
      constexpr UInt128 kLimit = static_cast<UInt128>(1) << 100;
      for (std::size_t k = negative ? 1 : 0; k < digits.size(); ++k) {
        m = m * 10 + static_cast<unsigned>(digits[k] - '0');
        if (m >= kLimit) throw OverflowError(what + ": integer too large to compute with: " + digits);
      }
      const auto s = static_cast<Int128>(m);
      return Num::integer(negative ? -s : s);
    }
    default:
      throw TypeMismatchError(what + ": expected a number, not " + json::kind_name(v.kind()));
  }
}

}  // namespace varnel::pyexact
