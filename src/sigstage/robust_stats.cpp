// Robust deviation statistics.
#include "sigstage/robust_stats.hpp"

#include <algorithm>
#include <cmath>

#include "common/errors.hpp"
#include "common/number_format.hpp"

namespace varnel::sig {

namespace {

// Stable ascending sort into `out`. Histories are short, and insertion sort
// needs no buffer; long lists from a host go to the library's merge sort.
void sort_into(std::span<const Num> values, std::vector<Num>& out) {
  if (values.empty()) throw InvalidValueError("no median for empty data");
  out.assign(values.begin(), values.end());
  const auto less = [](const Num& a, const Num& b) { return compare(a, b) < 0; };
  if (out.size() > 64) {
    std::stable_sort(out.begin(), out.end(), less);
    return;
  }
  for (std::size_t i = 1; i < out.size(); ++i) {
    const Num v = out[i];
    std::size_t j = i;
    for (; j > 0 && less(v, out[j - 1]); --j) out[j] = out[j - 1];
    out[j] = v;
  }
}

Num median_of_sorted(const std::vector<Num>& s) {
  const std::size_t n = s.size();
  if (n % 2 == 1) return s[n / 2];
  return Num::real(divide(s[n / 2 - 1] + s[n / 2], Num::integer(2)));
}

// True when equal values are indistinguishable: all integers, or all reals
// without a negative zero. Then any selection finds the median a stable sort
// would, and the cheaper one will do.
bool interchangeable(std::span<const Num> values) {
  const bool ints = values.front().is_int();
  for (const Num& v : values) {
    if (v.is_int() != ints) return false;
    if (!ints && v.real_value() == 0.0 && std::signbit(v.real_value())) return false;
  }
  return true;
}

// The median of `values`, using `work` as scratch space.
Num median_into(std::span<const Num> values, std::vector<Num>& work) {
  if (values.empty()) throw InvalidValueError("no median for empty data");
  if (!interchangeable(values)) {
    sort_into(values, work);
    return median_of_sorted(work);
  }
  work.assign(values.begin(), values.end());
  const auto less = [](const Num& a, const Num& b) { return compare(a, b) < 0; };
  const std::size_t k = work.size() / 2;
  std::nth_element(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(k), work.end(), less);
  if (work.size() % 2 == 1) return work[k];
  const Num lower = *std::max_element(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(k), less);
  return Num::real(divide(lower + work[k], Num::integer(2)));
}

// The median of the absolute differences from `center`.
Num spread_about(std::span<const Num> values, const Num& center, StatsScratch& scratch) {
  scratch.deviations.clear();
  for (const Num& v : values) scratch.deviations.push_back(abs(v - center));
  return median_into(scratch.deviations, scratch.sorted);
}

}  // namespace

json::Object Deviation::to_json() const {
  json::Object out;
  out.append("measure", measure ? json::Value(*measure) : json::Value());
  out.append("unit", std::string(unit));
  out.append("median", median.to_json());
  out.append("mad", mad.to_json());
  out.append("degenerate", degenerate);
  return out;
}

Num median(std::span<const Num> values, StatsScratch& scratch) { return median_into(values, scratch.sorted); }

Num median_absolute_deviation(std::span<const Num> values, StatsScratch& scratch) {
  return spread_about(values, median(values, scratch), scratch);
}

Num interquartile_range(std::span<const Num> values, StatsScratch& scratch) {
  sort_into(values, scratch.sorted);
  const std::size_t n = scratch.sorted.size();
  return scratch.sorted[3 * n / 4] - scratch.sorted[n / 4];
}

Deviation compute_robust_deviation(double observed, std::span<const Num> values, StatsScratch& scratch) {
  const Num med = median(values, scratch);
  const Num mad = spread_about(values, med, scratch);
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
