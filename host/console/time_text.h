// Local time as the console and its files show it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace merixhost {

using SystemTime = std::chrono::system_clock::time_point;

/// "14:03:07.250"
std::string ClockText(SystemTime at);
/// "2024-05-01 14:03:07.250"
std::string DateTimeText(SystemTime at);
/// An event's time stamp as the driver delivers it: calendar seconds and milliseconds.
std::string StampText(int32_t seconds, uint16_t millis);

} // namespace merixhost
