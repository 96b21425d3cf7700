// The one JSON reader: strict JSON plus NaN, Infinity and -Infinity, as a
// Python host's own decoder accepts it. A duplicate key keeps its first
// position and its last value.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_value.hpp"

namespace varnel::json {

// A partial reading of a document, for callers that need a few fields of
// large files. An object read under a projection keeps only the members
// listed (in the text's order, a duplicate key keeping its last value), each
// read with its own projection or whole when it has none; an array reads
// every element with `element`, or whole when there is none; anything else
// is read as usual. What is left out is still checked as strictly as the
// rest, so a malformed file fails the same way, but is never built.
struct Projection {
  struct Member {
    std::string_view key;
    const Projection* value = nullptr;
  };
  std::vector<Member> members;
  const Projection* element = nullptr;
};

struct ReadOptions {
  // Name of the text's origin, used in error messages ("" for none).
  std::string source;
  // Whether the text may hold raw surrogate code points. Files may not (they
  // must be UTF-8); text handed over by a host may.
  bool allow_surrogates = false;
  // The parts of the document to build (nullptr: all of it).
  const Projection* projection = nullptr;
};

// Maximum nesting of arrays and objects; deeper text is rejected rather
// than risking the stack.
inline constexpr int kMaxDepth = 5000;

// Parses one JSON document. Throws Utf8DecodeError for bytes that are not
// UTF-8 and JsonDecodeError for malformed JSON.
Value parse(std::string_view text, const ReadOptions& options = {});

// Parses one document as `parse` does, but hands each element of a
// top-level array to `each` as soon as it is read, never holding them all
// (a projection's `element` applies to them). False, with nothing handed
// over, when the document is no array. A fault late in the text is found
// after earlier elements were handed over: callers that must fail first
// read the text through `parse` beforehand.
bool parse_elements(std::string_view text, const ReadOptions& options, const std::function<void(Value&&)>& each);

// What reading the text of `value` under `projection` would have built.
Value project(Value value, const Projection& projection);

// Reads a UTF-8 file whole and parses it, or the parts `projection` names;
// errors name the file.
Value read_file(const std::filesystem::path& path, const Projection* projection = nullptr);

}  // namespace varnel::json
