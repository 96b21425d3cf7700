// Text from a repository reduced to one line of plain text: control and
// format characters (escape sequences, bidirectional overrides, zero-width
// marks), line and paragraph separators and runs of white space become one
// space, and the ends are trimmed. Nothing such text holds can then start a
// line of its own, move a terminal's cursor or hide part of itself.
//
// The characters are those of Unicode 14.0 (the data of Python 3.11's
// unicodedata): general categories Cc, Cf, Zl and Zp, and what str.isspace
// calls white space.
#include "common/one_line.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

#include "common/utf8.hpp"

namespace varnel::text {

namespace {

struct Range {
  std::uint32_t first;
  std::uint32_t last;
};

constexpr std::array<Range, 25> kSeparators{{
    {0x0, 0x20}, {0x7F, 0xA0}, {0xAD, 0xAD}, {0x600, 0x605}, {0x61C, 0x61C}, {0x6DD, 0x6DD}, {0x70F, 0x70F},
    {0x890, 0x891}, {0x8E2, 0x8E2}, {0x1680, 0x1680}, {0x180E, 0x180E}, {0x2000, 0x200F}, {0x2028, 0x202F},
    {0x205F, 0x2064}, {0x2066, 0x206F}, {0x3000, 0x3000}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB},
    {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x13438}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
    {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
}};

bool separates(std::uint32_t cp) {
  const auto it = std::upper_bound(kSeparators.begin(), kSeparators.end(), cp,
                                   [](std::uint32_t c, const Range& r) { return c < r.first; });
  return it != kSeparators.begin() && cp <= std::prev(it)->last;
}

}  // namespace

std::string one_line(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool gap = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    const std::uint32_t cp = utf8::decode(text, i);
    if (separates(cp)) {
      gap = !out.empty();
      continue;
    }
    if (gap) out += ' ';
    gap = false;
    out.append(text.substr(start, i - start));
  }
  return out;
}

}  // namespace varnel::text
