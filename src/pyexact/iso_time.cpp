// Reading timestamps exactly as the host's datetime.fromisoformat does.
//
// The host parses the UTF-8 bytes of the text with a few quirks of its own
// (the date's length picks the separator's place, any one character may
// separate date and time, an hour may carry a fraction, reads past a part's
// end see the next byte or the final NUL); the steps below follow it step by
// step, so that every text it accepts is accepted here and nothing else.
#include "pyexact/iso_time.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/utf8.hpp"
#include "pyexact/natural.hpp"

namespace varnel::pyexact {

namespace {

constexpr std::int64_t kMicrosPerSecond = 1'000'000;

// The bytes of the text as the host's parser sees them: reading past the
// end gives the terminating NUL.
class Bytes {
 public:
  explicit Bytes(std::string_view text) : text_(text) {}
  char operator[](std::size_t i) const { return i < text_.size() ? text_[i] : '\0'; }
  std::size_t size() const { return text_.size(); }

 private:
  std::string_view text_;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Appends `count` digits read at p to `value`; false at a non-digit.
bool read_digits(const Bytes& b, std::size_t& p, std::size_t count, int& value) {
  for (std::size_t i = 0; i < count; ++i) {
    const char c = b[p++];
    if (!is_digit(c)) return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool is_surrogate(std::uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

// The text with every "Z" read as "+00:00" and a surrogate standing as the
// separator (code point 7, 8 or 10, the first found) read as "T"; nullopt
// when it is shorter than 7 code points or holds another surrogate, which
// the host cannot encode.
std::optional<std::string> host_bytes(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == 'Z') {
      out += "+00:00";
    } else {
      out.push_back(c);
    }
  }
  if (std::all_of(out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    if (out.size() < 7) return std::nullopt;
    return out;
  }
  std::vector<std::size_t> starts;  // byte offset of each code point
  std::vector<std::uint32_t> points;
  for (std::size_t i = 0; i < out.size();) {
    starts.push_back(i);
    points.push_back(utf8::decode(out, i));
  }
  if (points.size() < 7) return std::nullopt;
  std::size_t separator = 0;
  for (std::size_t pos : {7, 8, 10}) {
    if (pos >= points.size()) break;
    if (is_surrogate(points[pos])) {
      separator = pos;
      break;
    }
  }
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (is_surrogate(points[i]) && i != separator) return std::nullopt;
  }
  if (separator == 0) return out;
  const std::size_t start = starts[separator];
  return out.substr(0, start) + 'T' + out.substr(start + 3);  // a surrogate takes three bytes
}

// Where the date ends and the separator stands, judged from the date's
// shape; nullopt for a shape the host refuses.
std::optional<std::size_t> separator_position(const Bytes& b) {
  const std::size_t len = b.size();
  if (len == 7) return 7;
  if (b[4] == '-') {
    if (b[5] != 'W') return 10;      // YYYY-MM-DD
    if (len > 8 && b[8] == '-') {    // YYYY-Www-D, or YYYY-Www and a separator "-"
      if (len == 9) return std::nullopt;
      return len > 10 && is_digit(b[10]) ? 8 : 10;
    }
    return 8;                        // YYYY-Www
  }
  if (b[4] == 'W') {                 // YYYYWww or YYYYWwwD
    std::size_t idx = 7;
    while (idx < len && is_digit(b[idx])) ++idx;
    if (idx < 9) return idx;
    return idx % 2 == 0 ? 7 : 8;
  }
  return 8;                          // YYYYMMDD
}

std::chrono::year_month_day civil(int year, int month, int day) {
  return std::chrono::year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                     std::chrono::day{static_cast<unsigned>(day)}};
}

// The calendar date of an ISO week date; nullopt when the week or day does
// not exist.
std::optional<std::chrono::year_month_day> from_iso_week(int year, int week, int day) {
  using namespace std::chrono;
  if (year < 1 || year > 9999) return std::nullopt;
  const sys_days jan1{civil(year, 1, 1)};
  const unsigned jan1_weekday = weekday{jan1}.iso_encoding() - 1;  // Monday is 0
  if (week <= 0 || week >= 53) {
    // Years that start on a Thursday, and leap years that start on a
    // Wednesday, have a 53rd week.
    const bool has_53 = jan1_weekday == 3 || (jan1_weekday == 2 && std::chrono::year{year}.is_leap());
    if (week != 53 || !has_53) return std::nullopt;
  }
  if (day <= 0 || day >= 8) return std::nullopt;
  sys_days monday = jan1 - days{jan1_weekday};
  if (jan1_weekday > 3) monday += days{7};
  return year_month_day{monday + days{(week - 1) * 7 + day - 1}};
}

std::optional<std::chrono::year_month_day> parse_date(const Bytes& b, std::size_t len) {
  std::size_t p = 0;
  int year = 0;
  if (!read_digits(b, p, 4, year)) return std::nullopt;
  const bool dashed = b[p] == '-';
  if (dashed) ++p;
  if (b[p] == 'W') {
    ++p;
    int week = 0;
    int day = 0;
    if (!read_digits(b, p, 2, week)) return std::nullopt;
    if (p < len) {
      if (dashed && b[p++] != '-') return std::nullopt;
      if (!read_digits(b, p, 1, day)) return std::nullopt;
    } else {
      day = 1;
    }
    return from_iso_week(year, week, day);
  }
  int month = 0;
  int day = 0;
  if (!read_digits(b, p, 2, month)) return std::nullopt;
  if (dashed && b[p++] != '-') return std::nullopt;
  if (!read_digits(b, p, 2, day)) return std::nullopt;
  return civil(year, month, day);
}

struct ClockTime {
  int hour = 0;
  int minute = 0;
  int second = 0;
  int micro = 0;
};

// Reads HH[:?MM[:?SS]][{.,}ffffff...] from p up to `end`, as the host does:
// 0 when the text ends there, 1 when more follows, negative when malformed.
int parse_clock(const Bytes& b, std::size_t p, std::size_t end, ClockTime& out) {
  out = {};
  int* parts[3] = {&out.hour, &out.minute, &out.second};
  bool colons = true;
  for (int i = 0; i < 3; ++i) {
    if (!read_digits(b, p, 2, *parts[i])) return -1;
    const char c = b[p++];
    if (i == 0) colons = c == ':';
    if (p >= end) return c != '\0';
    if (colons && c == ':') continue;
    if (c == '.' || c == ',') break;
    if (colons) return -1;
    --p;
  }
  static constexpr int kScale[] = {100000, 10000, 1000, 100, 10};
  const std::size_t digits = std::min<std::size_t>(end - p, 6);
  if (!read_digits(b, p, digits, out.micro)) return -1;
  if (digits < 6) out.micro *= kScale[digits - 1];
  while (is_digit(b[p])) ++p;  // digits past the sixth are dropped
  return b[p] != '\0';
}

struct TimeOfDay {
  ClockTime clock;
  std::int64_t offset_us = 0;  // east of UTC
};

// The time from `start` to the end of the text, with its offset.
std::optional<TimeOfDay> parse_time(const Bytes& b, std::size_t start) {
  const std::size_t end = b.size();
  std::size_t tz = start;
  do {
    if (b[tz] == '+' || b[tz] == '-') break;
  } while (++tz < end);
  TimeOfDay out;
  const int rv = parse_clock(b, start, tz, out.clock);
  if (rv < 0) return std::nullopt;
  if (tz == end) {
    if (rv == 1) return std::nullopt;
    return out;
  }
  ClockTime offset;
  if (parse_clock(b, tz + 1, end, offset) != 0) return std::nullopt;
  const std::int64_t whole_seconds = static_cast<std::int64_t>(offset.hour) * 3600 + offset.minute * 60 + offset.second;
  // The host reads an offset of no whole second as UTC, dropping its fraction.
  const std::int64_t magnitude = whole_seconds == 0 ? 0 : whole_seconds * kMicrosPerSecond + offset.micro;
  out.offset_us = b[tz] == '-' ? -magnitude : magnitude;
  return out;
}

// The correctly rounded quotient us / 10^6, as a host's int true division.
double micros_to_seconds(std::int64_t us) {
  const bool negative = us < 0;
  const auto magnitude = negative ? 0 - static_cast<std::uint64_t>(us) : static_cast<std::uint64_t>(us);
  const double seconds = ratio_to_double(Natural(magnitude), Natural(1'000'000));
  return negative ? -seconds : seconds;
}

}  // namespace

std::optional<std::int64_t> parse_timestamp_us(std::string_view text) {
  using namespace std::chrono;
  const std::optional<std::string> prepared = host_bytes(text);
  if (!prepared) return std::nullopt;
  const Bytes b(*prepared);
  const std::optional<std::size_t> separator = separator_position(b);
  if (!separator) return std::nullopt;
  const std::optional<year_month_day> date = parse_date(b, *separator);
  if (!date) return std::nullopt;
  TimeOfDay time;
  if (b.size() > *separator) {
    // Any one character separates date and time; UTF-8 gives its length.
    const auto lead = static_cast<unsigned char>(b[*separator]);
    const std::size_t width = lead < 0x80 ? 1 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF0) == 0xF0 ? 4 : 2;
    const std::optional<TimeOfDay> parsed = parse_time(b, *separator + width);
    if (!parsed) return std::nullopt;
    time = *parsed;
  }
  if (!date->ok() || date->year() < year{1} || date->year() > year{9999}) return std::nullopt;
  if (time.clock.hour > 23 || time.clock.minute > 59 || time.clock.second > 59) return std::nullopt;
  if (time.offset_us <= -86400 * kMicrosPerSecond || time.offset_us >= 86400 * kMicrosPerSecond) return std::nullopt;
  const std::int64_t day = sys_days{*date}.time_since_epoch().count();
  const std::int64_t seconds = day * 86400 + time.clock.hour * 3600 + time.clock.minute * 60 + time.clock.second;
  return seconds * kMicrosPerSecond + time.clock.micro - time.offset_us;
}

std::optional<std::int64_t> time_bucket(std::string_view text, double window_hours) {
  if (!(window_hours > 0)) throw InvalidValueError("window_hours must be a positive number");
  const std::optional<std::int64_t> us = parse_timestamp_us(text);
  if (!us) return std::nullopt;
  const double bucket = std::floor(micros_to_seconds(*us) / 3600.0 / window_hours);
  if (!(bucket >= -0x1p63 && bucket < 0x1p63)) throw OverflowError("time window number out of range");
  return static_cast<std::int64_t>(bucket);
}

}  // namespace varnel::pyexact
