// The statistics of Phase 4's comparisons. Means and population standard
// deviations are exact (the value a host's statistics.mean and
// statistics.pstdev give, as reals), so that the order of the values never
// changes a result; the covariance is summed in order, as a host's sum().
#pragma once

#include <span>

#include "patstage/logger.hpp"

namespace varnel::patstage {

struct MeanSpread {
  double mean;
  double pstdev;
};

// Mean and population standard deviation of a non-empty list. A list that
// holds NaN or an infinity has no exact form: its mean is the plain sum's
// quotient and its spread NaN.
MeanSpread mean_and_pstdev(std::span<const double> xs);

// Pearson's coefficient of two series (0.0 for fewer than two pairs or a
// constant series; the covariance stops at the shorter one). A constant
// series is reported at debug level through `debug`, when given. Throws
// InvalidValueError when ys is empty while xs has two values or more.
double pearson(std::span<const double> xs, std::span<const double> ys, Logger* debug);

}  // namespace varnel::patstage
