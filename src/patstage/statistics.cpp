// Exact means and spreads, and the correlation built on them.
#include "patstage/statistics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common/errors.hpp"
#include "pyexact/exact_moments.hpp"

namespace varnel::patstage {

MeanSpread mean_and_pstdev(std::span<const double> xs) {
  if (xs.empty()) throw InvalidValueError("mean requires at least one data point");
  if (!std::all_of(xs.begin(), xs.end(), [](double x) { return std::isfinite(x); })) {
    double sum = 0.0;
    for (double x : xs) sum += x;
    return {sum / static_cast<double>(xs.size()), std::numeric_limits<double>::quiet_NaN()};
  }
  thread_local std::vector<pyexact::Num> values;
  values.clear();
  for (double x : xs) values.push_back(pyexact::Num::real(x));
  const pyexact::Moments m = pyexact::exact_moments(values);
  return {m.mean.to_double(), m.stddev};
}

double pearson(std::span<const double> xs, std::span<const double> ys, Logger* debug) {
  const std::size_t n = xs.size();
  if (n < 2) return 0.0;
  const MeanSpread x = mean_and_pstdev(xs);
  const MeanSpread y = mean_and_pstdev(ys);
  if (x.pstdev == 0 || y.pstdev == 0) {
    if (debug != nullptr) {
      const LogArg args[] = {x.pstdev, y.pstdev, static_cast<std::int64_t>(n)};
      debug->write(LogLevel::Debug, "Pearson returned 0.0: constant series (sx=%.4f, sy=%.4f, n=%d)", args);
    }
    return 0.0;
  }
  double sum = 0.0;
  const std::size_t pairs = std::min(n, ys.size());
  for (std::size_t i = 0; i < pairs; ++i) sum += (xs[i] - x.mean) * (ys[i] - y.mean);
  const double cov = sum / static_cast<double>(n);
  return cov / (x.pstdev * y.pstdev);
}

}  // namespace varnel::patstage
