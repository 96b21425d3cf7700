// The centre of a baseline.
#include "vocab/baseline.hpp"

#include "common/json_logic.hpp"

namespace varnel::vocab {

const json::Value& baseline_center(const json::Value& baseline) {
  const json::Value* median = baseline.get("median");
  const json::Value* mad = baseline.get("mad");
  if (median != nullptr && !median->is_null() && mad != nullptr && !mad->is_null() &&
      json::compare_numbers(*mad, json::Value(0), ">") > 0) {
    return *median;
  }
  return baseline.at("mean");
}

}  // namespace varnel::vocab
