// Number texts and decimal rounding.
#include "common/number_format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "common/errors.hpp"
#include "common/real_text.hpp"

namespace varnel::numfmt {

namespace {

// Text for NaN and the infinities in a host's str() form; empty for finite x.
std::string_view special_text(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  return {};
}

// Shortest digits of |x| and the exponent of the first digit (x = d.ddd * 10^exp).
void shortest_digits(double x, std::string& digits, int& exponent) {
  std::array<char, 32> buf{};
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), std::fabs(x), std::chars_format::scientific);
  const std::string_view text(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
  const std::size_t e = text.find('e');
  digits.clear();
  for (char c : text.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), exponent);
}

void append_exponent(std::string& out, int exponent) {
  out.push_back('e');
  out.push_back(exponent < 0 ? '-' : '+');
  const int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude < 10) out.push_back('0');
  out += std::to_string(magnitude);
}

void append_repr(std::string& out, double x) {
  std::string digits;
  int exponent = 0;
  shortest_digits(x, digits, exponent);
  if (std::signbit(x)) out.push_back('-');
  const int point = exponent + 1;  // digits before the decimal point
  const int n = static_cast<int>(digits.size());
  if (point <= -4 || point > 16) {
    out.push_back(digits[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    append_exponent(out, exponent);
  } else if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point < n) {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(point));
  } else {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
    out += ".0";
  }
}

// A host's repr() of text: single quotes unless the text holds one and no
// double quote; backslash escapes for quotes, backslashes and controls.
void append_text_repr(std::string& out, const std::string& s) {
  const bool use_double = s.find('\'') != std::string::npos && s.find('"') == std::string::npos;
  const char quote = use_double ? '"' : '\'';
  out.push_back(quote);
  for (unsigned char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c == quote) {
          out.push_back('\\');
          out.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back(quote);
}

void append_plain(std::string& out, const json::Value& x, bool nested) {
  using Kind = json::Value::Kind;
  switch (x.kind()) {
    case Kind::Null: out += "None"; return;
    case Kind::Bool: out += x.as_bool() ? "True" : "False"; return;
    case Kind::Int: out += std::to_string(x.as_int()); return;
    case Kind::BigInt: out += x.as_bigint().digits; return;
    case Kind::Real: {
      const std::string_view sp = special_text(x.as_real());
      if (sp.empty()) {
        append_repr(out, x.as_real());
      } else {
        out += sp;
      }
      return;
    }
    case Kind::String:
      if (nested) {
        append_text_repr(out, x.as_string());
      } else {
        out += x.as_string();
      }
      return;
    case Kind::Array: {
      out.push_back('[');
      bool first = true;
      for (const json::Value& item : x.as_array()) {
        if (!first) out += ", ";
        first = false;
        append_plain(out, item, true);
      }
      out.push_back(']');
      return;
    }
    case Kind::Object: {
      out.push_back('{');
      bool first = true;
      for (const json::Member& m : x.as_object()) {
        if (!first) out += ", ";
        first = false;
        append_text_repr(out, m.key);
        out += ": ";
        append_plain(out, m.value, true);
      }
      out.push_back('}');
      return;
    }
  }
}

double number_for_format(const json::Value& x) {
  if (x.is_number() || x.is_bool()) return x.to_double();
  throw TypeMismatchError(std::string("must be real number, not ") + json::kind_name(x.kind()));
}

}  // namespace

std::string repr_real(double x) {
  const std::string_view sp = special_text(x);
  if (!sp.empty()) return std::string(sp);
  std::string out;
  append_repr(out, x);
  return out;
}

void append_json_real(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "NaN";
  } else if (std::isinf(x)) {
    out += x > 0 ? "Infinity" : "-Infinity";
  } else {
    append_repr(out, x);
  }
}

std::string fixed(double x, int decimals) {
  const std::string_view sp = special_text(x);
  if (!sp.empty()) return std::string(sp);
  // 309 integer digits, the point, the decimals and a sign at the most.
  std::string buf(static_cast<std::size_t>(decimals) + 320, '\0');
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::fixed, decimals);
  buf.resize(static_cast<std::size_t>(res.ptr - buf.data()));
  return buf;
}

std::string general(double x, int significant) {
  const std::string_view sp = special_text(x);
  if (!sp.empty()) return std::string(sp);
  // Sign, digits, point and an exponent of at most "e-324".
  std::string buf(static_cast<std::size_t>(significant < 1 ? 1 : significant) + 16, '\0');
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::general,
                           significant < 1 ? 1 : significant);
  if (res.ec != std::errc()) throw InvalidValueError("number too long to format");
  buf.resize(static_cast<std::size_t>(res.ptr - buf.data()));
  return buf;
}

double round_half_even(double x, int ndigits) {
  if (!std::isfinite(x)) return x;
  if (ndigits < 0) throw InvalidValueError("ndigits must not be negative");
  // Beyond this many decimals every double is already exact.
  if (ndigits > 340) return x;
  const std::string text = fixed(x, ndigits);
  double out = 0.0;
  realtext::parse(text.data(), text.data() + text.size(), out);
  return out;
}

json::Value round_value(const json::Value& x, int ndigits) {
  if (x.is_int() || x.is_bigint()) return x;
  if (x.is_bool()) return json::Value(static_cast<std::int64_t>(x.as_bool()));
  if (x.is_real()) return json::Value(round_half_even(x.as_real(), ndigits));
  throw TypeMismatchError(std::string("type ") + json::kind_name(x.kind()) +
                          " doesn't define __round__ method");
}

std::string plain(const json::Value& x) {
  std::string out;
  append_plain(out, x, false);
  return out;
}

std::string format_number(const json::Value& x, std::string_view form) {
  if (form == "plain") return plain(x);
  const bool printf_style = !form.empty() && form.front() == '%';
  const std::string_view spec = printf_style ? form.substr(1) : form;
  int precision = -1;
  if (spec.size() >= 3 && spec.front() == '.') {
    auto res = std::from_chars(spec.data() + 1, spec.data() + spec.size() - 1, precision);
    if (res.ec != std::errc() || res.ptr != spec.data() + spec.size() - 1 || precision > 100) precision = -1;
  }
  const char type = spec.empty() ? '\0' : spec.back();
  if (precision < 0 || (printf_style && type != 'g') || (type != 'f' && type != '%' && type != 'g')) {
    throw InvalidValueError("unknown number form: " + std::string(form));
  }
  const double v = number_for_format(x);
  switch (type) {
    case 'f': return fixed(v, precision);
    case '%': return fixed(v * 100.0, precision) + "%";
    default: return general(v, precision);
  }
}

}  // namespace varnel::numfmt
