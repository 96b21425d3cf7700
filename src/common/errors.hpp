// Error kinds raised by the core. The binding layer maps each kind to the
// Python exception a host expects; the core never sees Python.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace varnel {

// Base of every error the core raises on purpose.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A required field is absent; `key` names it (maps to KeyError).
struct MissingKeyError : Error {
  std::string key;
  explicit MissingKeyError(std::string k) : Error("missing key: " + k), key(std::move(k)) {}
};

// Something the caller asked for does not exist (maps to FileNotFoundError).
struct NotFoundError : Error {
  using Error::Error;
};

// A value has the wrong kind for the operation (maps to TypeError).
struct TypeMismatchError : Error {
  using Error::Error;
};

// A value has the right kind but an unusable content (maps to ValueError).
struct InvalidValueError : Error {
  using Error::Error;
};

// A number too large for the operation asked of it (maps to OverflowError).
struct OverflowError : Error {
  using Error::Error;
};

// Malformed JSON text. `position` counts characters (code points) from the
// start of the text, `line` and `column` start at 1, as a host's own JSON
// decoder reports them; `source` names the file ("" for in-memory text) and
// `document` holds the text, for the host's exception.
struct JsonDecodeError : Error {
  std::string reason;
  std::string source;
  std::string document;
  std::size_t position;
  std::size_t line;
  std::size_t column;
  JsonDecodeError(std::string why, std::string src, std::string doc, std::size_t pos, std::size_t ln,
                  std::size_t col);
};

// Bytes that are not UTF-8. `start` and `end` are byte offsets of the bad
// sequence; `bytes` holds the offending input so the host can show it.
struct Utf8DecodeError : Error {
  std::string source;
  std::string bytes;
  std::size_t start;
  std::size_t end;
  std::string reason;
  Utf8DecodeError(std::string src, std::string data, std::size_t s, std::size_t e, std::string why);
};

// A failed system call; `code` is the errno value (maps to the OSError
// subclass of that errno).
struct OsError : Error {
  int code;
  std::string path;
  OsError(int err, std::string p);
};

// A database failure. `kind` names the class a host's sqlite3 module raises
// for it; `code` is SQLite's extended result code (0 when the refusal comes
// from the store itself, such as use from a foreign thread).
struct DatabaseError : Error {
  enum class Kind { Database, Operational, Integrity, Programming, Interface, Data, Internal, NotSupported };
  Kind kind;
  int code;
  DatabaseError(Kind k, const std::string& message, int c = 0) : Error(message), kind(k), code(c) {}
};

}  // namespace varnel
