// Local calendar time, safe to call from any thread: localtime_r or localtime_s, one file per
// operating system (local_time_posix.cpp, local_time_win32.cpp).
#pragma once

#include <ctime>

namespace merixhost {

/// `seconds` in the local time zone; all zero when the system cannot convert it.
std::tm LocalTime(std::time_t seconds);

} // namespace merixhost
