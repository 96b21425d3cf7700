// Case changes of UTF-8 text for the reports, by the simple (one character
// to one character) Unicode case mappings.
#pragma once

#include <string>
#include <string_view>

namespace varnel::pyexact {

// Every character lower-cased.
std::string lower(std::string_view text);

// The first character upper-cased and every other one lower-cased.
std::string capitalize(std::string_view text);

}  // namespace varnel::pyexact
