// UTC timestamps in the system's text form.
#pragma once

#include <chrono>
#include <string>

namespace varnel {

// YYYY-MM-DDTHH:MM:SS.ffffffZ, without the point and fraction when the
// microseconds are exactly zero. Microsecond instants reach every year a
// timestamp can show, where the system clock's own ticks span only centuries.
std::string format_utc(std::chrono::sys_time<std::chrono::microseconds> t);

// The current time in that form.
std::string utc_timestamp();

}  // namespace varnel
