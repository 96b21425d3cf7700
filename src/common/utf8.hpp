// UTF-8 checks and code-point encoding. Strings inside the core are UTF-8;
// a lone surrogate (which a host's text may hold and JSON may escape) is kept
// in the generalised form that encodes it like any other code point, so it
// survives a round trip unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnel::utf8 {

// Where and why a byte sequence is not UTF-8, in a host decoder's words.
struct Fault {
  std::size_t start;
  std::size_t end;
  const char* reason;
};

// Length of the valid sequence starting at text[i], or the fault there.
// Surrogate code points are accepted only when `allow_surrogates` is set.
std::optional<Fault> check_sequence(std::string_view text, std::size_t i, bool allow_surrogates,
                                    std::size_t& length);

// The first fault in `text`, if any.
std::optional<Fault> find_fault(std::string_view text, bool allow_surrogates);

// Appends the encoding of `cp` (surrogates included) to `out`.
void append(std::string& out, std::uint32_t cp);

// Decodes the code point at text[i] of well-formed text and advances i.
std::uint32_t decode(std::string_view text, std::size_t& i);

// Number of code points in well-formed text.
std::size_t count_code_points(std::string_view text);

}  // namespace varnel::utf8
