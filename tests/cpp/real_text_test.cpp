// The fallback reader of reals (strtod in the "C" locale) against
// std::from_chars, on the texts a JSON reader, a rounding or a big
// integer's conversion may hand it.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/real_text.hpp"

namespace {

using varnel::realtext::parse;
using varnel::realtext::parse_with_strtod;

struct Read {
  std::errc ec;
  double value;
};

Read read(std::errc (*reader)(const char*, const char*, double&), const std::string& text) {
  double value = -1.25;  // left as it is on failure
  const std::errc ec = reader(text.data(), text.data() + text.size(), value);
  return {ec, value};
}

void expect_same(const std::string& text) {
  const Read exact = read(parse, text);
  const Read fallback = read(parse_with_strtod, text);
  EXPECT_EQ(exact.ec, fallback.ec) << text;
  if (exact.ec == std::errc()) {
    // Bit for bit: the sign of a zero counts.
    EXPECT_EQ(0, std::memcmp(&exact.value, &fallback.value, sizeof(double))) << text;
  }
}

TEST(RealText, HardCasesReadAlikeBothWays) {
  const std::vector<std::string> texts = {
      "0", "-0", "0.0", "-0.0", "1", "0.1", "1.5", "-2.5e-3", "123456789012345678901234567890",
      "9007199254740993", "2.2250738585072011e-308", "2.2250738585072014e-308", "4.9406564584124654e-324",
      "5e-324", "2e-324", "3e-324", "1e-400", "-1e-400", "1.7976931348623157e308", "1.7976931348623158e308",
      "1.7976931348623159e308", "1e309", "-1e309", "1E5", "1e+5", "0.30000000000000004",
      "1.00000000000000011102230246251565404236316680908203125", "7.2057594037927933e16", "0e9999",
      "100000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
      "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
      "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
      "0000000000000000000"};
  for (const std::string& text : texts) expect_same(text);
}

TEST(RealText, RandomDoublesAndLongMantissasReadAlike) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<std::uint64_t> bits;
  std::uniform_int_distribution<int> exponent(-340, 320), digits(1, 30), digit(0, 9);
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t raw = bits(rng);
    double x = 0.0;
    std::memcpy(&x, &raw, sizeof x);
    if (!std::isfinite(x)) continue;
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, x);
    expect_same(std::string(buf, res.ptr));
    std::string long_text = i % 2 ? "-" : "";
    long_text += static_cast<char>('1' + digit(rng) % 9);
    long_text += '.';
    for (int d = digits(rng); d > 0; --d) long_text += static_cast<char>('0' + digit(rng));
    long_text += 'e';
    long_text += std::to_string(exponent(rng));
    expect_same(long_text);
  }
}

TEST(RealText, OnlyAWholeDecimalNumberIsRead) {
  for (const std::string text : {"", "1.5x", " 1", "+1", "0x10", "inf", "nan", "1e"}) {
    EXPECT_NE(read(parse_with_strtod, text).ec, std::errc()) << text;
  }
  EXPECT_EQ(read(parse, "1.5x").ec, std::errc::invalid_argument);
  EXPECT_EQ(read(parse_with_strtod, "1e400").ec, std::errc::result_out_of_range);
  EXPECT_EQ(read(parse_with_strtod, "1e400").value, -1.25);
}

}  // namespace
