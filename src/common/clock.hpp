// UTC timestamps in the system's text form.
#pragma once

#include <chrono>
#include <string>

namespace varnel {

// YYYY-MM-DDTHH:MM:SS.ffffffZ, without the point and fraction when the
// microseconds are exactly zero.
std::string format_utc(std::chrono::system_clock::time_point t);

// The current time in that form.
std::string utc_timestamp();

}  // namespace varnel
