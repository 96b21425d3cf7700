// Messages of the core's error kinds.
#include "common/errors.hpp"

#include <cstring>

namespace varnel {

namespace {
std::string with_source(const std::string& src, const std::string& text) {
  return src.empty() ? text : src + ": " + text;
}
}  // namespace

JsonDecodeError::JsonDecodeError(std::string why, std::string src, std::string doc, std::size_t pos,
                                 std::size_t ln, std::size_t col)
    : Error(with_source(src, why + ": line " + std::to_string(ln) + " column " + std::to_string(col) +
                                 " (char " + std::to_string(pos) + ")")),
      reason(std::move(why)),
      source(std::move(src)),
      document(std::move(doc)),
      position(pos),
      line(ln),
      column(col) {}

Utf8DecodeError::Utf8DecodeError(std::string src, std::string data, std::size_t s, std::size_t e,
                                 std::string why)
    : Error(with_source(src, "'utf-8' codec can't decode bytes in position " + std::to_string(s) + "-" +
                                 std::to_string(e - 1) + ": " + why)),
      source(std::move(src)),
      bytes(std::move(data)),
      start(s),
      end(e),
      reason(std::move(why)) {}

OsError::OsError(int err, std::string p)
    : Error(std::string(std::strerror(err)) + ": '" + p + "'"), code(err), path(std::move(p)) {}

}  // namespace varnel
