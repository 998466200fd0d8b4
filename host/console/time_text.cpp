#include "host/console/time_text.h"

#include <ctime>

#include <fmt/format.h>

#include "host/console/local_time.h"

namespace merixhost {
namespace {

std::string Format(time_t seconds, long millis, bool withDate) {
    const std::tm local = LocalTime(seconds);
    if (withDate) {
        return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}", local.tm_year + 1900,
                           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                           local.tm_sec, millis);
    }
    return fmt::format("{:02}:{:02}:{:02}.{:03}", local.tm_hour, local.tm_min, local.tm_sec,
                       millis);
}

std::string FromTimePoint(SystemTime at, bool withDate) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch());
    const auto seconds = static_cast<time_t>(ms.count() / 1000);
    return Format(seconds, static_cast<long>(ms.count() % 1000), withDate);
}

} // namespace

std::string ClockText(SystemTime at) {
    return FromTimePoint(at, false);
}

std::string DateTimeText(SystemTime at) {
    return FromTimePoint(at, true);
}

std::string StampText(int32_t seconds, uint16_t millis) {
    // The driver passes the milliseconds without a range check.
    return Format(static_cast<time_t>(seconds), millis, true);
}

} // namespace merixhost
