// Truth values and exact numeric comparisons of JSON values.
#include "common/json_logic.hpp"

#include <cmath>
#include <cstdint>
#include <string>

#include "common/errors.hpp"
#include "common/number_format.hpp"

namespace varnel::json {

namespace {

bool is_numeric(const Value& v) { return v.is_number() || v.is_bool(); }

std::int64_t small_int(const Value& v) { return v.is_bool() ? std::int64_t{v.as_bool()} : v.as_int(); }

// Decimal digits of an integer with an optional "-", "-0" read as "0".
std::partial_ordering compare_digits(std::string_view a, std::string_view b) {
  auto negative = [](std::string_view d) { return !d.empty() && d.front() == '-' && d != "-0"; };
  auto magnitude = [](std::string_view d) { return d.substr(!d.empty() && d.front() == '-'); };
  const bool na = negative(a);
  const bool nb = negative(b);
  if (na != nb) return na ? std::partial_ordering::less : std::partial_ordering::greater;
  const std::string_view ma = magnitude(a);
  const std::string_view mb = magnitude(b);
  std::strong_ordering by_magnitude = ma.size() <=> mb.size();
  if (by_magnitude == 0) by_magnitude = ma <=> mb;
  if (na) by_magnitude = 0 <=> by_magnitude;  // larger magnitude is smaller when negative
  return by_magnitude;
}

// An integer given by its digits against a finite or infinite real.
std::partial_ordering compare_int_real(std::string_view digits, double d) {
  if (std::isnan(d)) return std::partial_ordering::unordered;
  if (std::isinf(d)) return d > 0 ? std::partial_ordering::less : std::partial_ordering::greater;
  const double whole = std::trunc(d);
  const std::partial_ordering by_whole = compare_digits(digits, numfmt::fixed(whole, 0));
  if (by_whole != 0) return by_whole;
  return 0.0 <=> (d - whole);
}

std::partial_ordering compare_small_int_real(std::int64_t i, double d) {
  // Every double of magnitude below 2**63 has an integer part that fits.
  if (std::isnan(d) || std::fabs(d) >= 0x1p63) return compare_int_real(std::to_string(i), d);
  const double whole = std::trunc(d);
  const auto w = static_cast<std::int64_t>(whole);
  if (i != w) return i <=> w;
  return 0.0 <=> (d - whole);
}

std::string digits_of(const Value& v) { return v.is_bigint() ? v.as_bigint().digits : std::to_string(small_int(v)); }

}  // namespace

bool truthy(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: return false;
    case Value::Kind::Bool: return v.as_bool();
    case Value::Kind::Int: return v.as_int() != 0;
    case Value::Kind::BigInt: return true;  // never zero: it lies outside the 64-bit range
    case Value::Kind::Real: return v.as_real() != 0.0 || std::isnan(v.as_real());
    case Value::Kind::String: return !v.as_string().empty();
    case Value::Kind::Array: return !v.as_array().empty();
    case Value::Kind::Object: return !v.as_object().empty();
  }
  return false;
}

std::partial_ordering compare_numbers(const Value& a, const Value& b, std::string_view op) {
  if (!is_numeric(a) || !is_numeric(b)) {
    throw TypeMismatchError("'" + std::string(op) + "' not supported between instances of '" +
                            kind_name(a.kind()) + "' and '" + kind_name(b.kind()) + "'");
  }
  if (a.is_real() && b.is_real()) return a.as_real() <=> b.as_real();
  if (a.is_real()) return 0 <=> (b.is_bigint() ? compare_int_real(digits_of(b), a.as_real())
                                                 : compare_small_int_real(small_int(b), a.as_real()));
  if (b.is_real()) return a.is_bigint() ? compare_int_real(digits_of(a), b.as_real())
                                        : compare_small_int_real(small_int(a), b.as_real());
  if (!a.is_bigint() && !b.is_bigint()) return small_int(a) <=> small_int(b);
  return compare_digits(digits_of(a), digits_of(b));
}

bool equals_zero(const Value& v) { return is_numeric(v) && compare_numbers(v, Value(0), "==") == 0; }

}  // namespace varnel::json
