// Timestamps and the time windows Phase 4 aligns events in. A timestamp is
// read the way a Python 3.11 host's datetime.fromisoformat reads it once
// every "Z" has become "+00:00": extended and basic dates, ISO week dates, a
// date alone (its midnight), times with optional fraction and offset, and
// nothing else. A time without an offset is UTC, so a workspace gives the
// same windows on every machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace varnel::pyexact {

// Microseconds since 1970-01-01T00:00:00 UTC of the instant `text` names, or
// nullopt when it is not a timestamp. `text` is UTF-8 (lone surrogates in
// their generalised form, as a host's text may hold them).
std::optional<std::int64_t> parse_timestamp_us(std::string_view text);

// The number of the `window_hours`-wide window holding the instant:
// floor(seconds since the epoch / 3600 / window_hours), each step rounded as
// a host's floats round it. nullopt when `text` is not a timestamp. Throws
// InvalidValueError unless window_hours > 0, and OverflowError when the
// window number leaves the 64-bit range (a window of a few nanoseconds).
std::optional<std::int64_t> time_bucket(std::string_view text, double window_hours);

}  // namespace varnel::pyexact
