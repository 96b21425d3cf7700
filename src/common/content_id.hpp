// Content identifiers: SHA-256 of a value's canonical JSON text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/json_value.hpp"

namespace varnel {

// Lowercase hexadecimal SHA-256 of `bytes` (64 digits).
std::string sha256_hex(std::string_view bytes);

// The first `digits` (1 to 64) hexadecimal digits of the SHA-256 of the
// canonical JSON text of `value`.
std::string content_id(const json::Value& value, std::size_t digits = 64);

}  // namespace varnel
