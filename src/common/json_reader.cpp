// Recursive-descent JSON reader with a host decoder's messages and positions.
#include "common/json_reader.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "common/errors.hpp"
#include "common/real_text.hpp"
#include "common/files.hpp"
#include "common/utf8.hpp"

namespace varnel::json {

namespace {

// Objects with more members than this get a key index while being read, so
// that duplicate detection stays linear.
constexpr std::size_t kIndexThreshold = 24;

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Parser {
 public:
  Parser(std::string_view text, const ReadOptions& options)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), options_(options) {}

  Value parse_document() {
    if (end_ - p_ >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0) {
      fail("Unexpected UTF-8 BOM (decode using utf-8-sig)", p_);
    }
    skip_ws();
    Value v = options_.projection != nullptr ? parse_projected(0, *options_.projection) : parse_value(0);
    skip_ws();
    if (p_ != end_) fail("Extra data", p_);
    return v;
  }

  bool parse_elements(const std::function<void(Value&&)>& each) {
    const char* start = p_;
    if (end_ - p_ >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0) {
      fail("Unexpected UTF-8 BOM (decode using utf-8-sig)", p_);
    }
    skip_ws();
    if (p_ == end_ || *p_ != '[') {
      p_ = start;
      parse_document();  // its faults are the document's
      return false;
    }
    const Projection* element = options_.projection != nullptr ? options_.projection->element : nullptr;
    check_depth(1);
    ++p_;  // '['
    skip_ws();
    if (p_ != end_ && *p_ == ']') {
      ++p_;
    } else {
      while (true) {
        each(parse_member_value(1, element));
        skip_ws();
        if (p_ != end_ && *p_ == ']') {
          ++p_;
          break;
        }
        if (p_ == end_ || *p_ != ',') fail("Expecting ',' delimiter", p_);
        ++p_;
        skip_ws();
      }
    }
    skip_ws();
    if (p_ != end_) fail("Extra data", p_);
    return true;
  }

 private:
  [[noreturn]] void fail(const char* reason, const char* at) const {
    const std::string_view text(begin_, static_cast<std::size_t>(end_ - begin_));
    // Bytes that are not UTF-8 are the real fault wherever they are: a host
    // decodes the whole text before parsing it.
    if (auto f = utf8::find_fault(text, options_.allow_surrogates)) {
      throw Utf8DecodeError(options_.source, std::string(text), f->start, f->end, f->reason);
    }
    const auto offset = static_cast<std::size_t>(at - begin_);
    const std::string_view before = text.substr(0, offset);
    const std::size_t line_start = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
    std::size_t line = 1;
    for (char c : before) line += c == '\n';
    throw JsonDecodeError(reason, options_.source, std::string(text), utf8::count_code_points(before), line,
                          utf8::count_code_points(before.substr(line_start)) + 1);
  }

  void skip_ws() {
    while (p_ != end_ && is_ws(*p_)) ++p_;
  }

  bool match(const char* word, std::size_t n) const {
    return static_cast<std::size_t>(end_ - p_) >= n && std::memcmp(p_, word, n) == 0;
  }

  Value parse_value(int depth) {
    if (p_ == end_) fail("Expecting value", p_);
    switch (*p_) {
      case '"': {
        std::string s;
        parse_string(s);
        return Value(std::move(s));
      }
      case '{':
        return parse_object(depth + 1);
      case '[':
        return parse_array(depth + 1);
      case 'n':
        if (match("null", 4)) {
          p_ += 4;
          return Value();
        }
        break;
      case 't':
        if (match("true", 4)) {
          p_ += 4;
          return Value(true);
        }
        break;
      case 'f':
        if (match("false", 5)) {
          p_ += 5;
          return Value(false);
        }
        break;
      case 'N':
        if (match("NaN", 3)) {
          p_ += 3;
          return Value(std::numeric_limits<double>::quiet_NaN());
        }
        break;
      case 'I':
        if (match("Infinity", 8)) {
          p_ += 8;
          return Value(std::numeric_limits<double>::infinity());
        }
        break;
      case '-':
        if (match("-Infinity", 9)) {
          p_ += 9;
          return Value(-std::numeric_limits<double>::infinity());
        }
        return parse_number();
      default:
        if (*p_ >= '0' && *p_ <= '9') return parse_number();
        break;
    }
    fail("Expecting value", p_);
  }

  // Reads a value under a projection: containers keep what it names.
  Value parse_projected(int depth, const Projection& projection) {
    if (p_ != end_ && *p_ == '{') return parse_object(depth + 1, &projection);
    if (p_ != end_ && *p_ == '[') return parse_array(depth + 1, projection.element);
    return parse_value(depth);
  }

  Value parse_member_value(int depth, const Projection* projection) {
    return projection != nullptr ? parse_projected(depth, *projection) : parse_value(depth);
  }

  // Checks a value as parse_value does, building nothing.
  void skip_value(int depth) {
    if (p_ == end_) fail("Expecting value", p_);
    switch (*p_) {
      case '"': {
        Discard sink;
        parse_string(sink);
        return;
      }
      case '{':
        skip_container(depth + 1, '}');
        return;
      case '[':
        skip_container(depth + 1, ']');
        return;
      default:
        if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) {
          if (!match("-Infinity", 9)) {
            p_ = scan_number().end;
            return;
          }
        }
        // Literals are cheap to build; reading them keeps one set of rules.
        parse_value(depth);
    }
  }

  void skip_container(int depth, char close) {
    check_depth(depth);
    ++p_;
    skip_ws();
    if (p_ != end_ && *p_ == close) {
      ++p_;
      return;
    }
    while (true) {
      if (close == '}') {
        if (p_ == end_ || *p_ != '"') fail("Expecting property name enclosed in double quotes", p_);
        Discard key;
        parse_string(key);
        skip_ws();
        if (p_ == end_ || *p_ != ':') fail("Expecting ':' delimiter", p_);
        ++p_;
        skip_ws();
      }
      skip_value(depth);
      skip_ws();
      if (p_ != end_ && *p_ == close) {
        ++p_;
        return;
      }
      if (p_ == end_ || *p_ != ',') fail("Expecting ',' delimiter", p_);
      ++p_;
      skip_ws();
    }
  }

  void check_depth(int depth) const {
    if (depth > kMaxDepth) fail("Nesting too deep", p_);
  }

  // Elements and members being read collect on two stacks shared by every
  // level, so that each container is allocated once, at its exact size.
  Value parse_array(int depth, const Projection* element = nullptr) {
    check_depth(depth);
    ++p_;  // '['
    const std::size_t base = values_.size();
    skip_ws();
    if (p_ != end_ && *p_ == ']') {
      ++p_;
      return Value(Array{});
    }
    while (true) {
      values_.push_back(parse_member_value(depth, element));
      skip_ws();
      if (p_ != end_ && *p_ == ']') {
        ++p_;
        Array items(std::make_move_iterator(values_.begin() + static_cast<std::ptrdiff_t>(base)),
                    std::make_move_iterator(values_.end()));
        values_.resize(base);
        return Value(std::move(items));
      }
      if (p_ == end_ || *p_ != ',') fail("Expecting ',' delimiter", p_);
      ++p_;
      skip_ws();
    }
  }

  // Under a projection only the members it lists are built.
  Value parse_object(int depth, const Projection* projection = nullptr) {
    check_depth(depth);
    ++p_;  // '{'
    const std::size_t base = members_.size();
    std::unordered_map<std::string, std::size_t> index;
    skip_ws();
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      return Value(Object{});
    }
    while (true) {
      if (p_ == end_ || *p_ != '"') fail("Expecting property name enclosed in double quotes", p_);
      std::string key;
      parse_string(key);
      skip_ws();
      if (p_ == end_ || *p_ != ':') fail("Expecting ':' delimiter", p_);
      ++p_;
      skip_ws();
      if (projection == nullptr) {
        add_member(base, index, std::move(key), parse_value(depth));
      } else if (const Projection::Member* kept = find_member(*projection, key)) {
        add_member(base, index, std::move(key), parse_member_value(depth, kept->value));
      } else {
        skip_value(depth);
      }
      skip_ws();
      if (p_ != end_ && *p_ == '}') {
        ++p_;
        Object obj;
        obj.reserve(members_.size() - base);
        for (auto it = members_.begin() + static_cast<std::ptrdiff_t>(base); it != members_.end(); ++it) {
          obj.append(std::move(it->key), std::move(it->value));
        }
        members_.resize(base);
        return Value(std::move(obj));
      }
      if (p_ == end_ || *p_ != ',') fail("Expecting ',' delimiter", p_);
      ++p_;
      skip_ws();
    }
  }

  static const Projection::Member* find_member(const Projection& projection, std::string_view key) {
    for (const Projection::Member& m : projection.members) {
      if (m.key == key) return &m;
    }
    return nullptr;
  }

  // A repeated key keeps its first position and takes the new value.
  void add_member(std::size_t base, std::unordered_map<std::string, std::size_t>& index, std::string key,
                  Value value) {
    const std::size_t count = members_.size() - base;
    if (count < kIndexThreshold) {
      for (std::size_t i = base; i < members_.size(); ++i) {
        if (members_[i].key == key) {
          members_[i].value = std::move(value);
          return;
        }
      }
      members_.push_back(Member{std::move(key), std::move(value)});
      if (count + 1 == kIndexThreshold) {
        for (std::size_t i = base; i < members_.size(); ++i) index.emplace(members_[i].key, i);
      }
      return;
    }
    auto [it, fresh] = index.emplace(key, members_.size());
    if (!fresh) {
      members_[it->second].value = std::move(value);
      return;
    }
    members_.push_back(Member{std::move(key), std::move(value)});
  }

  // Reads four hex digits at p; -1 when they are not hex.
  static long read_hex4(const char* p) {
    long v = 0;
    for (int k = 0; k < 4; ++k) {
      const int h = hex_value(p[k]);
      if (h < 0) return -1;
      v = v * 16 + h;
    }
    return v;
  }

  // The sink of a string that is checked but not kept.
  struct Discard {
    void append(const char*, std::size_t) {}
    void push_back(char) {}
  };

  template <class Out>
  void parse_string(Out& out) {
    const char* quote = p_;
    ++p_;
    while (true) {
      // Copy the run of plain characters in one go.
      const char* run = p_;
      while (p_ != end_) {
        const auto c = static_cast<unsigned char>(*p_);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++p_;
      }
      out.append(run, static_cast<std::size_t>(p_ - run));
      if (p_ == end_) fail("Unterminated string starting at", quote);
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return;
      }
      if (c >= 0x80) {
        std::size_t len = 0;
        const std::string_view text(begin_, static_cast<std::size_t>(end_ - begin_));
        if (auto f = utf8::check_sequence(text, static_cast<std::size_t>(p_ - begin_),
                                          options_.allow_surrogates, len)) {
          throw Utf8DecodeError(options_.source, std::string(text), f->start, f->end, f->reason);
        }
        out.append(p_, len);
        p_ += len;
        continue;
      }
      if (c < 0x20) fail("Invalid control character at", p_);
      parse_escape(out, quote);
    }
  }

  template <class Out>
  void parse_escape(Out& out, const char* quote) {
    const char* backslash = p_;
    ++p_;
    if (p_ == end_) fail("Unterminated string starting at", quote);
    const char e = *p_;
    if (e != 'u') {
      char decoded;
      switch (e) {
        case '"': decoded = '"'; break;
        case '\\': decoded = '\\'; break;
        case '/': decoded = '/'; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        default: fail("Invalid \\escape", backslash);
      }
      out.push_back(decoded);
      ++p_;
      return;
    }
    // \uXXXX, with a high surrogate joined to a following low one.
    const char* u = p_;
    if (end_ - u <= 5) fail("Invalid \\uXXXX escape", u);
    long cp = read_hex4(u + 1);
    if (cp < 0) fail("Invalid \\uXXXX escape", u);
    p_ = u + 5;
    if (cp >= 0xD800 && cp <= 0xDBFF && end_ - p_ > 6 && p_[0] == '\\' && p_[1] == 'u') {
      const long low = read_hex4(p_ + 2);
      if (low < 0) fail("Invalid \\uXXXX escape", p_ + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        p_ += 6;
      }
    }
    if constexpr (std::is_same_v<Out, std::string>) utf8::append(out, static_cast<std::uint32_t>(cp));
  }

  struct NumberText {
    const char* end;
    bool is_real;
  };

  // The extent of the number at p_ and whether it is a real.
  NumberText scan_number() const {
    const char* start = p_;
    const char* q = p_;
    if (*q == '-') ++q;
    if (q == end_ || *q < '0' || *q > '9') fail("Expecting value", start);
    if (*q == '0') {
      ++q;
    } else {
      while (q != end_ && *q >= '0' && *q <= '9') ++q;
    }
    bool is_real = false;
    if (q + 1 < end_ && *q == '.' && q[1] >= '0' && q[1] <= '9') {
      is_real = true;
      q += 2;
      while (q != end_ && *q >= '0' && *q <= '9') ++q;
    }
    if (q != end_ && (*q == 'e' || *q == 'E')) {
      const char* e = q + 1;
      if (e != end_ && (*e == '+' || *e == '-')) ++e;
      if (e != end_ && *e >= '0' && *e <= '9') {
        is_real = true;
        q = e;
        while (q != end_ && *q >= '0' && *q <= '9') ++q;
      }
    }
    return {q, is_real};
  }

  Value parse_number() {
    const char* start = p_;
    const auto [q, is_real] = scan_number();
    p_ = q;
    if (!is_real) {
      std::int64_t i = 0;
      auto res = std::from_chars(start, q, i);
      if (res.ec == std::errc()) return Value(i);
      return Value(BigInt{std::string(start, q)});
    }
    return Value(parse_real(start, q));
  }

  // The nearest double, as a host's float() gives it: beyond the range a
  // real becomes an infinity, below it a zero of the same sign.
  static double parse_real(const char* start, const char* stop) {
    double d = 0.0;
    if (realtext::parse(start, stop, d) == std::errc()) return d;
    const bool negative = *start == '-';
    // Out of range: decide by the decimal magnitude of the first non-zero digit.
    long exponent = 0;
    const char* e = start;
    while (e != stop && *e != 'e' && *e != 'E') ++e;
    if (e != stop) {
      const char* digits = e + 1;
      if (*digits == '+') ++digits;
      // Any exponent beyond this lies beyond every double either way; the
      // clamp also keeps the sum below from overflowing.
      constexpr long kFar = 1L << 40;
      if (std::from_chars(digits, stop, exponent).ec != std::errc() || exponent > kFar || exponent < -kFar) {
        exponent = *digits == '-' ? -kFar : kFar;
      }
    }
    long position = 0;  // digits before the point, minus leading zeros after it
    const char* c = negative ? start + 1 : start;
    bool seen_point = false;
    bool seen_nonzero = false;
    for (; c != e; ++c) {
      if (*c == '.') {
        seen_point = true;
        continue;
      }
      if (*c != '0') seen_nonzero = true;
      if (!seen_point && seen_nonzero) ++position;
      if (seen_point && !seen_nonzero) --position;
    }
    const bool huge = exponent + position > 0;
    const double magnitude = huge ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
  }

  std::vector<Value> values_;
  std::vector<Member> members_;
  const char* begin_;
  const char* p_;
  const char* end_;
  const ReadOptions& options_;
};

}  // namespace

Value parse(std::string_view text, const ReadOptions& options) { return Parser(text, options).parse_document(); }

Value project(Value value, const Projection& projection) {
  if (value.is_object()) {
    Object kept;
    for (Member& member : value.as_object()) {  // in the text's order, as the reader keeps them
      for (const Projection::Member& wanted : projection.members) {
        if (wanted.key != member.key) continue;
        kept.append(std::move(member.key),
                    wanted.value != nullptr ? project(std::move(member.value), *wanted.value) : std::move(member.value));
        break;
      }
    }
    return Value(std::move(kept));
  }
  if (value.is_array() && projection.element != nullptr) {
    for (Value& element : value.as_array()) element = project(std::move(element), *projection.element);
  }
  return value;
}

bool parse_elements(std::string_view text, const ReadOptions& options, const std::function<void(Value&&)>& each) {
  return Parser(text, options).parse_elements(each);
}

Value read_file(const std::filesystem::path& path, const Projection* projection) {
  const std::string text = files::read_text(path);
  ReadOptions options;
  options.source = path.string();
  options.projection = projection;
  return parse(text, options);
}

}  // namespace varnel::json
