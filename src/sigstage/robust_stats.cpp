// Robust deviation statistics.
#include "robust_stats.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "common/number_format.hpp"

namespace varnel::sig {

namespace {

void sort_into(std::span<const Num> values, std::vector<Num>& out) {
  if (values.empty()) throw InvalidValueError("no median for empty data");
  out.assign(values.begin(), values.end());
  std::stable_sort(out.begin(), out.end(), [](const Num& a, const Num& b) { return compare(a, b) < 0; });
}

Num median_of_sorted(const std::vector<Num>& s) {
  const std::size_t n = s.size();
  if (n % 2 == 1) return s[n / 2];
  return Num::real(divide(s[n / 2 - 1] + s[n / 2], Num::integer(2)));
}

}  // namespace

Num median(std::span<const Num> values, StatsScratch& scratch) {
  sort_into(values, scratch.sorted);
  return median_of_sorted(scratch.sorted);
}

Num median_absolute_deviation(std::span<const Num> values, StatsScratch& scratch) {
  const Num m = median(values, scratch);
  scratch.deviations.clear();
  for (const Num& v : values) scratch.deviations.push_back(abs(v - m));
  sort_into(scratch.deviations, scratch.sorted);
  return median_of_sorted(scratch.sorted);
}

Num interquartile_range(std::span<const Num> values, StatsScratch& scratch) {
  sort_into(values, scratch.sorted);
  const std::size_t n = scratch.sorted.size();
  return scratch.sorted[3 * n / 4] - scratch.sorted[n / 4];
}

Deviation compute_robust_deviation(double observed, std::span<const Num> values, StatsScratch& scratch) {
  const Num med = median(values, scratch);
  const Num mad = median_absolute_deviation(values, scratch);
  const Num zero = Num::integer(0);
  const double diff = observed - med.to_double();
  if (compare(mad, zero) > 0) {
    const double measure = numfmt::round_half_even(kMadFactor * diff / mad.to_double(), 6);
    return {measure, "modified_zscore", med, mad, false};
  }
  const Num iqr = interquartile_range(values, scratch);
  if (compare(iqr, zero) > 0) {
    const double measure = numfmt::round_half_even(diff / (iqr.to_double() / kIqrDivisor), 6);
    return {measure, "iqr_normalized", med, Num::real(0.0), false};
  }
  if (compare(Num::real(observed), med) == 0) return {0.0, "degenerate", med, Num::real(0.0), true};
  return {std::nullopt, "degenerate", med, Num::real(0.0), true};
}

}  // namespace varnel::sig
