// UTF-8 checks and code-point encoding.
#include "common/utf8.hpp"

namespace varnel::utf8 {

namespace {
constexpr const char* kInvalidStart = "invalid start byte";
constexpr const char* kInvalidContinuation = "invalid continuation byte";
constexpr const char* kUnexpectedEnd = "unexpected end of data";

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }
}  // namespace

std::optional<Fault> check_sequence(std::string_view text, std::size_t i, bool allow_surrogates,
                                    std::size_t& length) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) {
    length = 1;
    return std::nullopt;
  }
  std::size_t need;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED && !allow_surrogates) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return Fault{i, i + 1, kInvalidStart};
  }
  // The second byte has a range of its own; the others are plain continuations.
  for (std::size_t k = 1; k < need; ++k) {
    if (i + k >= text.size()) {
      return Fault{i, text.size(), kUnexpectedEnd};
    }
    const auto b = static_cast<unsigned char>(text[i + k]);
    const bool ok = k == 1 ? (b >= lo && b <= hi) : is_continuation(b);
    if (!ok) return Fault{i, i + k, kInvalidContinuation};
  }
  length = need;
  return std::nullopt;
}

std::optional<Fault> find_fault(std::string_view text, bool allow_surrogates) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    if (auto f = check_sequence(text, i, allow_surrogates, len)) return f;
    i += len;
  }
  return std::nullopt;
}

void append(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::uint32_t decode(std::string_view text, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  auto cont = [&](std::size_t k) { return static_cast<std::uint32_t>(text[i + k]) & 0x3F; };
  std::uint32_t cp;
  if (b0 < 0x80) {
    cp = b0;
    i += 1;
  } else if (b0 < 0xE0) {
    cp = ((b0 & 0x1Fu) << 6) | cont(1);
    i += 2;
  } else if (b0 < 0xF0) {
    cp = ((b0 & 0x0Fu) << 12) | (cont(1) << 6) | cont(2);
    i += 3;
  } else {
    cp = ((b0 & 0x07u) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
    i += 4;
  }
  return cp;
}

std::size_t count_code_points(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) {
    if (!is_continuation(static_cast<unsigned char>(c))) ++n;
  }
  return n;
}

}  // namespace varnel::utf8
