// Lookups over the vocabulary's tables by family or metric name.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#include "vocab/tables.hpp"

namespace varnel::vocab {

// The row of `table` whose key is `name`, or nullptr when none is.
template <typename Row, std::size_t N>
constexpr const Row* find(const std::array<Row, N>& table, std::string_view name) {
  const auto it = std::find_if(table.begin(), table.end(), [&](const Row& row) { return row.key == name; });
  return it == table.end() ? nullptr : &*it;
}

// Whether the advisory engine shows `metric`'s values as percentages.
constexpr bool is_ratio(std::string_view metric) {
  return std::find(kRatioMetrics.begin(), kRatioMetrics.end(), metric) != kRatioMetrics.end();
}

}  // namespace varnel::vocab
