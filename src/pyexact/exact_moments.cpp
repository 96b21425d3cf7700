// Exact mean and population standard deviation.
//
// Every value is an integer times a power of two, so with a common scale
// 2^-E each value is a_i / 2^E for an integer a_i. With A = sum a_i and
// B = sum a_i^2 over n values:
//   mean     = A / (n 2^E)
//   variance = (n B - A^2) / (n^2 2^2E)
// Both are exact; each is rounded once at the end.
#include "pyexact/exact_moments.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "pyexact/natural.hpp"

namespace varnel::pyexact {

namespace {

// |v| = mantissa * 2^exponent with an integer mantissa.
struct Scaled {
  UInt128 mantissa;
  long exponent;
  bool negative;
};

Scaled scaled(const Num& v) {
  if (v.is_int()) {
    const Int128 i = v.int_value();
    return {i < 0 ? static_cast<UInt128>(0) - static_cast<UInt128>(i) : static_cast<UInt128>(i), 0, i < 0};
  }
  int exp = 0;
  const double frac = std::frexp(std::fabs(v.real_value()), &exp);
  // frac * 2^53 is an integer below 2^53; trailing zero bits are dropped so
  // that short fractions (0.5, 0.25) keep small scales.
  auto mantissa = static_cast<std::uint64_t>(std::ldexp(frac, 53));
  long exponent = static_cast<long>(exp) - 53;
  if (mantissa != 0) {
    const int zeros = std::countr_zero(mantissa);
    mantissa >>= zeros;
    exponent += zeros;
  }
  return {mantissa, exponent, std::signbit(v.real_value()) && mantissa != 0};
}

int bit_width(UInt128 v) {
  const auto high = static_cast<std::uint64_t>(v >> 64);
  return high != 0 ? 64 + std::bit_width(high) : std::bit_width(static_cast<std::uint64_t>(v));
}

// Python's floor division for the shift of the square root.
long floor_div2(long v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); }

// sqrt(n / m) rounded to an integer by round-to-odd.
Natural sqrt_ratio_round_to_odd(const Natural& n, const Natural& m) {
  Natural q;
  Natural r;
  divmod(n, m, q, r);
  Natural a = isqrt(q);
  if (!(a * a * m == n)) a.set_lowest_bit();
  return a;
}

// The correctly rounded square root of n / m (n >= 0, m > 0), computed the
// way a host's statistics module does it so that the double agrees.
double sqrt_of_ratio(const Natural& n, const Natural& m) {
  constexpr long kWidth = 2 * 53 + 3;
  const long q = floor_div2(static_cast<long>(n.bit_length()) - static_cast<long>(m.bit_length()) - kWidth);
  if (q >= 0) {
    const Natural root = sqrt_ratio_round_to_odd(n, m << static_cast<std::size_t>(2 * q)) << static_cast<std::size_t>(q);
    return ratio_to_double(root, Natural(1));
  }
  const Natural root = sqrt_ratio_round_to_odd(n << static_cast<std::size_t>(-2 * q), m);
  return ratio_to_double(root, Natural(1) << static_cast<std::size_t>(-q));
}

}  // namespace

Moments exact_moments(std::span<const Num> values) {
  thread_local std::vector<Scaled> parts;
  parts.clear();
  bool all_int = true;
  long scale = 0;  // E
  for (const Num& v : values) {
    all_int = all_int && v.is_int();
    parts.push_back(scaled(v));
    scale = std::max(scale, -parts.back().exponent);
  }
  const std::size_t count = values.size();

  // |A| with its sign, and B. While n * a_i^2 stays below 2^128 the sums fit
  // in 128 bits; wider values take the arbitrary-precision path.
  const int limit = (128 - std::bit_width(count)) / 2;
  bool narrow = true;
  for (const Scaled& p : parts) {
    if (p.mantissa != 0 && bit_width(p.mantissa) + p.exponent + scale > limit) {
      narrow = false;
      break;
    }
  }
  Natural sum;
  Natural squares;
  bool sum_negative = false;
  if (narrow) {
    Int128 a_sum = 0;
    UInt128 b_sum = 0;
    for (const Scaled& p : parts) {
      const UInt128 a = p.mantissa == 0 ? 0 : p.mantissa << (p.exponent + scale);
      a_sum += p.negative ? -static_cast<Int128>(a) : static_cast<Int128>(a);
      b_sum += a * a;
    }
    sum_negative = a_sum < 0;
    sum = Natural::from_u128(sum_negative ? static_cast<UInt128>(0) - static_cast<UInt128>(a_sum)
                                          : static_cast<UInt128>(a_sum));
    squares = Natural::from_u128(b_sum);
  } else {
    Natural positive;  // sum of the positive a_i
    Natural negative;  // sum of |a_i| of the negative ones
    for (const Scaled& p : parts) {
      const Natural a = Natural::from_u128(p.mantissa) << static_cast<std::size_t>(p.exponent + scale);
      (p.negative ? negative : positive) += a;
      squares.add_product(a, a);
    }
    sum_negative = positive < negative;
    sum = sum_negative ? negative - positive : positive - negative;
  }
  const Natural n(count);

  Moments out{Num::integer(0), 0.0};
  Natural q;
  Natural r;
  divmod(sum, n, q, r);
  if (all_int && r.is_zero()) {
    const auto whole = static_cast<Int128>(q.to_u128());
    out.mean = Num::integer(sum_negative ? -whole : whole);
  } else {
    const double mean = ratio_to_double(sum, n << static_cast<std::size_t>(scale));
    out.mean = Num::real(sum_negative ? -mean : mean);
  }
  // n B - A^2 is never negative (Cauchy-Schwarz).
  Natural spread = n * squares;
  spread -= sum * sum;
  out.stddev = sqrt_of_ratio(spread, (n * n) << static_cast<std::size_t>(2 * scale));
  return out;
}

}  // namespace varnel::pyexact
