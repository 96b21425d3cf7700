// Arbitrary-precision natural numbers, just enough for exact means and
// variances: sums, products, shifts, division, integer square roots and a
// correctly rounded quotient. Small numbers live inline, so the common sizes
// never touch the heap.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnel {

// 128-bit integers, a compiler extension the exact arithmetic relies on.
__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

namespace pyexact {

class Natural {
 public:
  Natural() = default;
  // The number v.
  explicit Natural(std::uint64_t v);
  // The number v (v < 2^128).
  static Natural from_u128(UInt128 v);

  bool is_zero() const { return size_ == 0; }
  // Number of significant bits (0 for zero).
  std::size_t bit_length() const;
  // The low 64 bits.
  std::uint64_t low64() const;
  // The value, which must fit in 128 bits.
  UInt128 to_u128() const;

  Natural operator<<(std::size_t bits) const;
  Natural operator>>(std::size_t bits) const;
  Natural& operator+=(const Natural& other);
  // Subtracts other, which must not exceed *this.
  Natural& operator-=(const Natural& other);
  friend Natural operator+(Natural a, const Natural& b) { return a += b; }
  friend Natural operator-(Natural a, const Natural& b) { return a -= b; }
  friend Natural operator*(const Natural& a, const Natural& b);
  // Adds a * b to *this.
  void add_product(const Natural& a, const Natural& b);
  // Bitwise or with 1 (round-to-odd's sticky bit).
  void set_lowest_bit();

  friend int compare(const Natural& a, const Natural& b);
  friend bool operator==(const Natural& a, const Natural& b) { return compare(a, b) == 0; }
  friend bool operator<(const Natural& a, const Natural& b) { return compare(a, b) < 0; }

  // Quotient and remainder of a / b (b non-zero).
  friend void divmod(const Natural& a, const Natural& b, Natural& quotient, Natural& remainder);

 private:
  using Limb = std::uint32_t;
  static constexpr std::size_t kInline = 12;

  Limb* data() { return heap_.empty() ? inline_.data() : heap_.data(); }
  const Limb* data() const { return heap_.empty() ? inline_.data() : heap_.data(); }
  void resize(std::size_t n);  // new limbs are zero
  void trim();                 // drops leading zero limbs
  static void divmod_small(const Natural& a, Limb b, Natural& quotient, Natural& remainder);

  std::array<Limb, kInline> inline_{};
  std::vector<Limb> heap_;
  std::size_t size_ = 0;
};

// floor(sqrt(n)).
Natural isqrt(const Natural& n);

// The double nearest to a / b (b non-zero), ties to even, subnormals and
// overflow to infinity included, as a host's integer true division gives it.
double ratio_to_double(const Natural& a, const Natural& b);

}  // namespace pyexact
}  // namespace varnel
