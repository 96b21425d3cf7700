// Number texts and decimal rounding, in the forms a Python host writes them.
// Nobody formats a number by hand: every engine goes through these.
#pragma once

#include <string>
#include <string_view>

#include "common/json_value.hpp"

namespace varnel::numfmt {

// Shortest round-trip text of a real with at least one digit after the point
// or an exponent (12.0, 0.1, 1e-05, 1.5e+16); "nan", "inf", "-inf".
std::string repr_real(double x);

// Appends the JSON form of a real: repr_real, but NaN, Infinity, -Infinity.
void append_json_real(std::string& out, double x);

// Rounds x to `ndigits` decimals (ndigits >= 0) judged on its exact binary
// value, exact ties to even; the nearest double to that decimal. NaN and
// infinities are returned unchanged.
double round_half_even(double x, int ndigits);

// The same rule for a JSON number: an integer (or boolean, as 0 or 1) is
// returned as an integer, unchanged; a real is rounded. Throws
// TypeMismatchError for anything else.
json::Value round_value(const json::Value& x, int ndigits);

// The value's plain text form: integers in decimal, reals as repr_real,
// "True"/"False", "None", text as is, lists and maps as a host prints them.
std::string plain(const json::Value& x);

// Formats a number in one of the forms "plain", ".Nf", ".N%", ".Ng" (format
// specifications) or "%.Ng" (printf-style), N a digit count. Throws
// TypeMismatchError for a value that is not a number (booleans count as
// 0 and 1) and InvalidValueError for an unknown form.
std::string format_number(const json::Value& x, std::string_view form);

// Fixed-point text of x with `decimals` digits, rounded half to even on the
// exact value ("nan", "inf" for those).
std::string fixed(double x, int decimals);

// General format with `significant` digits, trailing zeros removed, exponent
// form when the decimal exponent is below -4 or at least `significant`.
std::string general(double x, int significant);

}  // namespace varnel::numfmt
