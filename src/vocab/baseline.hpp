// Where a baseline's normal lies, for every text that compares a value with
// its usual one.
#pragma once

#include "common/json_value.hpp"

namespace varnel::vocab {

// The centre of a baseline (an object with `mean`, `median` and `mad`, as the
// signal engine writes it): its median when the median and the MAD are both
// given (present and not null) and the MAD is above 0, else its mean, null
// included. Throws MissingKeyError when the mean is needed and absent,
// TypeMismatchError when `baseline` is not an object or the MAD not a number.
const json::Value& baseline_center(const json::Value& baseline);

}  // namespace varnel::vocab
