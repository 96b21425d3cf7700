// Truth values and numeric comparisons of JSON values, judged the way a
// Python host's own `bool()` and comparison operators judge them: exact
// across integers and reals, NaN unordered, booleans counting as 0 and 1.
#pragma once

#include <compare>
#include <string_view>

#include "common/json_value.hpp"

namespace varnel::json {

// The host's truth value: null, false, zero (NaN is true), "" and empty
// containers are false; everything else is true.
bool truthy(const Value& v);

// Orders two numbers exactly (1 < 1.5, 2**53 + 1 > 2.0**53); unordered when
// either is NaN. Throws TypeMismatchError naming `op` and both kinds
// ("'>' not supported between instances of 'str' and 'int'") when either
// value is not a number or boolean.
std::partial_ordering compare_numbers(const Value& a, const Value& b, std::string_view op);

// Whether `v` is a number (or boolean) numerically equal to 0; false for
// any other kind, as equality across kinds is simply false.
bool equals_zero(const Value& v);

}  // namespace varnel::json
