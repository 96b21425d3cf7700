// Content identifiers through OpenSSL's libcrypto.
#include "common/content_id.hpp"

#include <openssl/sha.h>

#include "common/errors.hpp"
#include "common/json_writer.hpp"

namespace varnel {

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(2 * SHA256_DIGEST_LENGTH, '0');
  for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0xF];
  }
  return out;
}

std::string content_id(const json::Value& value, std::size_t digits) {
  if (digits < 1 || digits > 64) throw InvalidValueError("digits must be between 1 and 64");
  return sha256_hex(json::dumps(value, json::kCanonical)).substr(0, digits);
}

}  // namespace varnel
