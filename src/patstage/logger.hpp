// The logging port: the engine's messages go to the host's logger, which
// formats them (printf-style) and decides where they end up.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <variant>

namespace varnel::patstage {

enum class LogLevel { Debug, Info };

// One argument of a message: an integer (%d) or a real (%.4f).
using LogArg = std::variant<std::int64_t, double>;

class Logger {
 public:
  virtual ~Logger() = default;

  // Whether a message at `level` would be written at all, so that frequent
  // messages can be skipped cheaply.
  virtual bool enabled(LogLevel level) = 0;

  // Writes the message `format` % `args` at `level`.
  virtual void write(LogLevel level, std::string_view format, std::span<const LogArg> args) = 0;
};

}  // namespace varnel::patstage
