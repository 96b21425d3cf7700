#include "common/real_text.hpp"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>

#ifdef VARNEL_HAVE_FROM_CHARS_DOUBLE
#include <charconv>
#endif
#ifdef __APPLE__
#include <xlocale.h>
#endif

namespace varnel::realtext {

namespace {

locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

std::errc parse_with_strtod(const char* first, const char* last, double& out) {
  const std::string text(first, last);  // strtod needs the text to end
  // Decimal text only: strtod would also take spaces, hexadecimal and words.
  if (text.empty() || text.front() == '+' ||
      text.find_first_not_of("0123456789+-.eE") != std::string::npos) {
    return std::errc::invalid_argument;
  }
  char* end = nullptr;
  errno = 0;
  const double value = strtod_l(text.c_str(), &end, c_locale());
  if (end != text.c_str() + text.size()) return std::errc::invalid_argument;
  // A subnormal result also sets ERANGE, but it is the nearest double and
  // std::from_chars gives it; only an infinity or a zero is out of range.
  if (errno == ERANGE && (value == 0.0 || std::isinf(value))) return std::errc::result_out_of_range;
  out = value;
  return std::errc();
}

std::errc parse(const char* first, const char* last, double& out) {
#ifdef VARNEL_HAVE_FROM_CHARS_DOUBLE
  const auto res = std::from_chars(first, last, out);
  return res.ec == std::errc() && res.ptr != last ? std::errc::invalid_argument : res.ec;
#else
  return parse_with_strtod(first, last, out);
#endif
}

}  // namespace varnel::realtext
