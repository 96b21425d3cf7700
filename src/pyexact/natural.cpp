// Arbitrary-precision natural numbers on 32-bit limbs.
#include "pyexact/natural.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace varnel::pyexact {

Natural::Natural(std::uint64_t v) {
  resize(2);
  data()[0] = static_cast<Limb>(v);
  data()[1] = static_cast<Limb>(v >> 32);
  trim();
}

Natural Natural::from_u128(UInt128 v) {
  Natural n;
  n.resize(4);
  for (int i = 0; i < 4; ++i) n.data()[i] = static_cast<Limb>(v >> (32 * i));
  n.trim();
  return n;
}

void Natural::resize(std::size_t n) {
  if (n > kInline && heap_.empty()) {
    heap_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(size_));
    heap_.resize(n);
  } else if (!heap_.empty() && heap_.size() < n) {
    heap_.resize(n);
  }
  Limb* d = data();
  for (std::size_t i = size_; i < n; ++i) d[i] = 0;
  size_ = n;
}

void Natural::trim() {
  const Limb* d = data();
  while (size_ > 0 && d[size_ - 1] == 0) --size_;
}

std::size_t Natural::bit_length() const {
  if (size_ == 0) return 0;
  return 32 * (size_ - 1) + static_cast<std::size_t>(std::bit_width(data()[size_ - 1]));
}

std::uint64_t Natural::low64() const {
  std::uint64_t v = 0;
  if (size_ > 0) v = data()[0];
  if (size_ > 1) v |= static_cast<std::uint64_t>(data()[1]) << 32;
  return v;
}

UInt128 Natural::to_u128() const {
  UInt128 v = 0;
  for (std::size_t i = std::min<std::size_t>(size_, 4); i-- > 0;) v = (v << 32) | data()[i];
  return v;
}

Natural Natural::operator<<(std::size_t bits) const {
  if (size_ == 0) return *this;
  const std::size_t limbs = bits / 32;
  const unsigned shift = static_cast<unsigned>(bits % 32);
  Natural out;
  out.resize(size_ + limbs + 1);
  const Limb* s = data();
  Limb* d = out.data();
  for (std::size_t i = 0; i < size_; ++i) {
    const std::uint64_t v = static_cast<std::uint64_t>(s[i]) << shift;
    d[i + limbs] |= static_cast<Limb>(v);
    d[i + limbs + 1] = static_cast<Limb>(v >> 32);
  }
  out.trim();
  return out;
}

Natural Natural::operator>>(std::size_t bits) const {
  const std::size_t limbs = bits / 32;
  if (limbs >= size_) return Natural();
  const unsigned shift = static_cast<unsigned>(bits % 32);
  Natural out;
  out.resize(size_ - limbs);
  const Limb* s = data();
  Limb* d = out.data();
  for (std::size_t i = 0; i < out.size_; ++i) {
    std::uint64_t v = s[i + limbs];
    if (i + limbs + 1 < size_) v |= static_cast<std::uint64_t>(s[i + limbs + 1]) << 32;
    d[i] = static_cast<Limb>(v >> shift);
  }
  out.trim();
  return out;
}

Natural& Natural::operator+=(const Natural& other) {
  const std::size_t n = std::max(size_, other.size_);
  resize(n + 1);
  Limb* d = data();
  const Limb* o = other.data();
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < n + 1; ++i) {
    const std::uint64_t v = static_cast<std::uint64_t>(d[i]) + (i < other.size_ ? o[i] : 0) + carry;
    d[i] = static_cast<Limb>(v);
    carry = v >> 32;
  }
  trim();
  return *this;
}

Natural& Natural::operator-=(const Natural& other) {
  Limb* d = data();
  const Limb* o = other.data();
  std::int64_t borrow = 0;
  for (std::size_t i = 0; i < size_; ++i) {
    std::int64_t v = static_cast<std::int64_t>(d[i]) - (i < other.size_ ? o[i] : 0) - borrow;
    borrow = v < 0;
    if (v < 0) v += std::int64_t{1} << 32;
    d[i] = static_cast<Limb>(v);
  }
  trim();
  return *this;
}

void Natural::add_product(const Natural& a, const Natural& b) {
  if (a.size_ == 0 || b.size_ == 0) return;
  const std::size_t n = std::max(size_, a.size_ + b.size_) + 1;
  resize(n);
  Limb* d = data();
  const Limb* x = a.data();
  const Limb* y = b.data();
  for (std::size_t i = 0; i < a.size_; ++i) {
    std::uint64_t carry = 0;
    for (std::size_t j = 0; j < b.size_; ++j) {
      const std::uint64_t v = static_cast<std::uint64_t>(x[i]) * y[j] + d[i + j] + carry;
      d[i + j] = static_cast<Limb>(v);
      carry = v >> 32;
    }
    for (std::size_t k = i + b.size_; carry != 0; ++k) {
      const std::uint64_t v = static_cast<std::uint64_t>(d[k]) + carry;
      d[k] = static_cast<Limb>(v);
      carry = v >> 32;
    }
  }
  trim();
}

Natural operator*(const Natural& a, const Natural& b) {
  Natural out;
  out.add_product(a, b);
  return out;
}

void Natural::set_lowest_bit() {
  if (size_ == 0) resize(1);
  data()[0] |= 1;
}

int compare(const Natural& a, const Natural& b) {
  if (a.size_ != b.size_) return a.size_ < b.size_ ? -1 : 1;
  const Natural::Limb* x = a.data();
  const Natural::Limb* y = b.data();
  for (std::size_t i = a.size_; i-- > 0;) {
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  }
  return 0;
}

void Natural::divmod_small(const Natural& a, Limb b, Natural& quotient, Natural& remainder) {
  Natural q;
  q.resize(a.size_);
  const Limb* s = a.data();
  Limb* d = q.data();
  std::uint64_t rem = 0;
  for (std::size_t i = a.size_; i-- > 0;) {
    const std::uint64_t cur = (rem << 32) | s[i];
    d[i] = static_cast<Limb>(cur / b);
    rem = cur % b;
  }
  q.trim();
  quotient = std::move(q);
  remainder = Natural(rem);
}

// Long division after Knuth (The Art of Computer Programming, 4.3.1, D).
void divmod(const Natural& a, const Natural& b, Natural& quotient, Natural& remainder) {
  using Limb = Natural::Limb;
  if (compare(a, b) < 0) {
    remainder = a;
    quotient = Natural();
    return;
  }
  if (b.size_ == 1) {
    Natural::divmod_small(a, b.data()[0], quotient, remainder);
    return;
  }
  const unsigned shift = static_cast<unsigned>(std::countl_zero(b.data()[b.size_ - 1]));
  const Natural v = b << shift;
  Natural u = a << shift;
  u.resize(a.size_ + 1);  // room for the top limb of the normalised dividend
  const std::size_t n = v.size_;
  const std::size_t m = u.size_ - n;
  Natural q;
  q.resize(m);
  Limb* ud = u.data();
  const Limb* vd = v.data();
  const std::uint64_t base = std::uint64_t{1} << 32;
  for (std::size_t j = m; j-- > 0;) {
    const std::uint64_t top = (static_cast<std::uint64_t>(ud[j + n]) << 32) | ud[j + n - 1];
    std::uint64_t qhat = top / vd[n - 1];
    std::uint64_t rhat = top % vd[n - 1];
    while (qhat >= base || qhat * vd[n - 2] > ((rhat << 32) | ud[j + n - 2])) {
      --qhat;
      rhat += vd[n - 1];
      if (rhat >= base) break;
    }
    std::int64_t borrow = 0;
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t p = qhat * vd[i] + carry;
      carry = p >> 32;
      const std::int64_t t = static_cast<std::int64_t>(ud[i + j]) - borrow - static_cast<std::int64_t>(p & 0xFFFFFFFFu);
      ud[i + j] = static_cast<Limb>(t);
      borrow = t < 0 ? 1 : 0;
    }
    const std::int64_t t = static_cast<std::int64_t>(ud[j + n]) - borrow - static_cast<std::int64_t>(carry);
    ud[j + n] = static_cast<Limb>(t);
    if (t < 0) {
      // qhat was one too large: add the divisor back.
      --qhat;
      std::uint64_t c = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t s = static_cast<std::uint64_t>(ud[i + j]) + vd[i] + c;
        ud[i + j] = static_cast<Limb>(s);
        c = s >> 32;
      }
      ud[j + n] = static_cast<Limb>(static_cast<std::uint64_t>(ud[j + n]) + c);
    }
    q.data()[j] = static_cast<Limb>(qhat);
  }
  q.trim();
  u.trim();
  remainder = u >> shift;
  quotient = std::move(q);
}

Natural isqrt(const Natural& n) {
  if (n.is_zero()) return n;
  // Start Newton's iteration just above the root, from a double estimate of
  // the top bits; from above it decreases monotonically to floor(sqrt(n)).
  const std::size_t bits = n.bit_length();
  const std::size_t shift = bits > 104 ? ((bits - 104 + 1) / 2) * 2 : 0;
  const Natural top = n >> shift;
  const double estimate = std::sqrt(std::ldexp(static_cast<double>(top.to_u128() >> 52), 52) +
                                    static_cast<double>(top.low64() & ((std::uint64_t{1} << 52) - 1)));
  Natural x = Natural(static_cast<std::uint64_t>(estimate * (1.0 + 0x1p-40)) + 2) << (shift / 2);
  Natural q;
  Natural r;
  while (true) {
    divmod(n, x, q, r);
    Natural y = (x + q) >> 1;
    if (compare(y, x) >= 0) return x;
    x = std::move(y);
  }
}

double ratio_to_double(const Natural& a, const Natural& b) {
  if (a.is_zero()) return 0.0;
  // Scale so that the integer quotient has 55 or 56 bits, then round once.
  const long diff = static_cast<long>(a.bit_length()) - static_cast<long>(b.bit_length());
  const long shift = 55 - diff;
  Natural q;
  Natural r;
  if (shift >= 0) {
    divmod(a << static_cast<std::size_t>(shift), b, q, r);
  } else {
    divmod(a, b << static_cast<std::size_t>(-shift), q, r);
  }
  const bool sticky = !r.is_zero();
  const std::uint64_t quotient = q.low64();
  // a / b lies in [2^e, 2^(e+1)); the last kept bit has weight 2^ulp.
  const long e = static_cast<long>(std::bit_width(quotient)) - 1 - shift;
  if (e > 1023) return std::numeric_limits<double>::infinity();
  const long ulp = std::max(e - 52, -1074L);
  const long drop = ulp + shift;  // at least 2, since the quotient has 55+ bits
  if (drop >= 64) return 0.0;  // far below half the smallest subnormal
  std::uint64_t kept = quotient >> drop;
  const std::uint64_t rest = quotient & ((std::uint64_t{1} << drop) - 1);
  const std::uint64_t half = std::uint64_t{1} << (drop - 1);
  if (rest > half || (rest == half && (sticky || (kept & 1)))) ++kept;
  return std::ldexp(static_cast<double>(kept), static_cast<int>(ulp));
}

}  // namespace varnel::pyexact
