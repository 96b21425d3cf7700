// Reading a decimal real exactly (the nearest double), with one portable
// fallback: some C++ libraries (Apple's before macOS 26) have no
// std::from_chars for double, and the build picks the C library's strtod
// read in the "C" locale there.
#pragma once

#include <system_error>

namespace varnel::realtext {

// Reads the whole of [first, last) (a decimal number: digits, an optional
// sign, point and exponent) as the nearest double. std::errc() on success;
// result_out_of_range when the value is beyond the double range or so small
// it reads as zero; invalid_argument when the text is not all a number.
std::errc parse(const char* first, const char* last, double& out);

// The same through strtod in the "C" locale: the fallback, compiled
// everywhere so that it is tested against std::from_chars where both exist.
std::errc parse_with_strtod(const char* first, const char* last, double& out);

}  // namespace varnel::realtext
