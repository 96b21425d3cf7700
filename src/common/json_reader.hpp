// The one JSON reader: strict JSON plus NaN, Infinity and -Infinity, as a
// Python host's own decoder accepts it. A duplicate key keeps its first
// position and its last value.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "json_value.hpp"

namespace varnel::json {

struct ReadOptions {
  // Name of the text's origin, used in error messages ("" for none).
  std::string source;
  // Whether the text may hold raw surrogate code points. Files may not (they
  // must be UTF-8); text handed over by a host may.
  bool allow_surrogates = false;
};

// Maximum nesting of arrays and objects; deeper text is rejected rather
// than risking the stack.
inline constexpr int kMaxDepth = 5000;

// Parses one JSON document. Throws Utf8DecodeError for bytes that are not
// UTF-8 and JsonDecodeError for malformed JSON.
Value parse(std::string_view text, const ReadOptions& options = {});

// Reads a UTF-8 file whole and parses it; errors name the file.
Value read_file(const std::filesystem::path& path);

}  // namespace varnel::json
