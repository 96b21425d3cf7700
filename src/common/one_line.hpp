// Repository text as one line of plain text, for every place that shows it.
#pragma once

#include <string>
#include <string_view>

namespace varnel::text {

// `text` (well-formed UTF-8, lone surrogates allowed) with every control,
// format and white-space character run replaced by one space and the ends
// trimmed.
std::string one_line(std::string_view text);

}  // namespace varnel::text
