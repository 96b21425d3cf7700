// UTC timestamps in the system's text form.
#include "common/clock.hpp"

#include <cstdio>

namespace varnel {

std::string format_utc(std::chrono::sys_time<std::chrono::microseconds> us) {
  using namespace std::chrono;
  const auto day = floor<days>(us);
  const year_month_day ymd{day};
  const hh_mm_ss<microseconds> tod{us - day};
  char buf[40];
  int n = std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(ymd.year()),
                        static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                        static_cast<int>(tod.hours().count()), static_cast<int>(tod.minutes().count()),
                        static_cast<int>(tod.seconds().count()));
  const auto micros = tod.subseconds().count();
  if (micros != 0) n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), ".%06d", static_cast<int>(micros));
  buf[n] = 'Z';
  return std::string(buf, static_cast<std::size_t>(n) + 1);
}

std::string utc_timestamp() {
  return format_utc(std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()));
}

}  // namespace varnel
