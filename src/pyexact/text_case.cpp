// Case mapping through the C library's UTF-8 character tables, looked up in
// a locale object of our own so that the process's locale is never touched.
#include "pyexact/text_case.hpp"

#include <locale.h>
#include <wctype.h>

#include <cstdint>

#include "common/utf8.hpp"

namespace varnel::pyexact {

namespace {

// The UTF-8 character tables, or null where the platform lacks them (then
// only ASCII letters change case).
locale_t unicode_tables() {
  static const locale_t tables = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return tables;
}

std::uint32_t map_case(std::uint32_t cp, bool upper) {
  if (cp < 0x80 || unicode_tables() == nullptr) {
    if (upper && cp >= 'a' && cp <= 'z') return cp - 32;
    if (!upper && cp >= 'A' && cp <= 'Z') return cp + 32;
    return cp;
  }
  // Surrogates have no case and are not characters to the C library.
  if (cp >= 0xD800 && cp <= 0xDFFF) return cp;
  const auto wc = static_cast<wint_t>(cp);
  return static_cast<std::uint32_t>(upper ? towupper_l(wc, unicode_tables()) : towlower_l(wc, unicode_tables()));
}

std::string convert(std::string_view text, bool upper_first) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  bool first = true;
  while (i < text.size()) {
    utf8::append(out, map_case(utf8::decode(text, i), first && upper_first));
    first = false;
  }
  return out;
}

}  // namespace

std::string lower(std::string_view text) { return convert(text, false); }

std::string capitalize(std::string_view text) { return convert(text, true); }

}  // namespace varnel::pyexact
