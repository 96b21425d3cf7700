// The JSON writers.
#include "common/json_writer.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

#include "common/number_format.hpp"
#include "common/utf8.hpp"

namespace varnel::json {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Bytes that cannot be copied as they are: controls, quote, backslash,
// DEL and everything outside ASCII.
constexpr std::array<bool, 256> make_escape_table() {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = c < 0x20 || c == '"' || c == '\\' || c >= 0x7F;
  return t;
}
constexpr std::array<bool, 256> kNeedsEscape = make_escape_table();

void append_u16(std::string& out, std::uint32_t unit) {
  const char esc[6] = {'\\', 'u', kHex[(unit >> 12) & 0xF], kHex[(unit >> 8) & 0xF], kHex[(unit >> 4) & 0xF],
                       kHex[unit & 0xF]};
  out.append(esc, 6);
}

void append_string(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t run = i;
    while (i < s.size() && !kNeedsEscape[static_cast<unsigned char>(s[i])]) ++i;
    out.append(s.data() + run, i - run);
    if (i == s.size()) break;
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; ++i; continue;
      case '\\': out += "\\\\"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      case '\b': out += "\\b"; ++i; continue;
      case '\f': out += "\\f"; ++i; continue;
      default: break;
    }
    const std::uint32_t cp = utf8::decode(s, i);
    if (cp >= 0x10000) {
      const std::uint32_t v = cp - 0x10000;
      append_u16(out, 0xD800 | (v >> 10));
      append_u16(out, 0xDC00 | (v & 0x3FF));
    } else {
      append_u16(out, cp);
    }
  }
  out.push_back('"');
}

class Writer {
 public:
  Writer(std::string& out, const WriteStyle& style) : out_(out), style_(style) {}

  void newline(int level) {
    if (style_.indent < 0) return;
    out_.push_back('\n');
    out_.append(static_cast<std::size_t>(style_.indent) * static_cast<std::size_t>(level), ' ');
  }

  void value(const Value& v, int level) {
    switch (v.kind()) {
      case Value::Kind::Null: out_ += "null"; return;
      case Value::Kind::Bool: out_ += v.as_bool() ? "true" : "false"; return;
      case Value::Kind::Int: {
        std::array<char, 24> buf{};
        auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v.as_int());
        out_.append(buf.data(), res.ptr);
        return;
      }
      case Value::Kind::BigInt: out_ += v.as_bigint().digits; return;
      case Value::Kind::Real: numfmt::append_json_real(out_, v.as_real()); return;
      case Value::Kind::String: append_string(out_, v.as_string()); return;
      case Value::Kind::Array: array(v.as_array(), level); return;
      case Value::Kind::Object: object(v.as_object(), level); return;
    }
  }

 private:
  void array(const Array& items, int level) {
    if (items.empty()) {
      out_ += "[]";
      return;
    }
    out_.push_back('[');
    bool first = true;
    for (const Value& item : items) {
      if (!first) out_ += style_.item_sep;
      first = false;
      newline(level + 1);
      value(item, level + 1);
    }
    newline(level);
    out_.push_back(']');
  }

  void member(const Member& m, int level, bool first) {
    if (!first) out_ += style_.item_sep;
    newline(level + 1);
    append_string(out_, m.key);
    out_ += style_.key_sep;
    value(m.value, level + 1);
  }

  void object(const Object& obj, int level) {
    if (obj.empty()) {
      out_ += "{}";
      return;
    }
    out_.push_back('{');
    if (style_.sort_keys) {
      std::vector<const Member*> sorted;
      sorted.reserve(obj.size());
      for (const Member& m : obj) sorted.push_back(&m);
      // Byte order of UTF-8 is code-point order.
      std::sort(sorted.begin(), sorted.end(), [](const Member* a, const Member* b) { return a->key < b->key; });
      bool first = true;
      for (const Member* m : sorted) {
        member(*m, level, first);
        first = false;
      }
    } else {
      bool first = true;
      for (const Member& m : obj) {
        member(m, level, first);
        first = false;
      }
    }
    newline(level);
    out_.push_back('}');
  }

  std::string& out_;
  const WriteStyle& style_;
};

}  // namespace

void write(std::string& out, const Value& value, const WriteStyle& style) { Writer(out, style).value(value, 0); }

void ArrayWriter::element(const Value& value) {
  Writer writer(out_, style_);
  if (empty_) {
    out_.push_back('[');
  } else {
    out_ += style_.item_sep;
  }
  empty_ = false;
  writer.newline(1);
  writer.value(value, 1);
}

void ArrayWriter::finish() {
  if (empty_) {
    out_ += "[]";
    return;
  }
  Writer(out_, style_).newline(0);
  out_.push_back(']');
}

std::string dumps(const Value& value, const WriteStyle& style) {
  std::string out;
  write(out, value, style);
  return out;
}

}  // namespace varnel::json
