#include "sim/station_clock.h"

#include <cstdio>
#include <ctime>

namespace h51sim {

namespace {

using LocalMs = std::chrono::local_time<std::chrono::milliseconds>;

LocalMs ToLocal(const StationTime& t) {
    using namespace std::chrono;
    const local_days day{year{t.year} / month{t.month} / std::chrono::day{t.day}};
    return day + hours{t.hour} + minutes{t.minute} + seconds{t.second} +
           milliseconds{t.millisecond};
}

StationTime FromLocal(LocalMs t) {
    using namespace std::chrono;
    const local_days day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss<milliseconds> hms{t - day};
    StationTime out;
    out.year = static_cast<int>(ymd.year());
    out.month = static_cast<unsigned>(ymd.month());
    out.day = static_cast<unsigned>(ymd.day());
    out.hour = static_cast<unsigned>(hms.hours().count());
    out.minute = static_cast<unsigned>(hms.minutes().count());
    out.second = static_cast<unsigned>(hms.seconds().count());
    out.millisecond = static_cast<unsigned>(hms.subseconds().count());
    return out;
}

} // namespace

std::string StationTime::ToString() const {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u.%03u", year, month, day, hour,
                  minute, second, millisecond);
    return text;
}

StationTime HostLocalTime() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    return LocalTimeAt(
        system_clock::to_time_t(now),
        static_cast<unsigned>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000));
}

StationTime LocalTimeAt(std::time_t seconds, unsigned millisecond) {
    std::tm local{};
    localtime_r(&seconds, &local);
    StationTime t;
    t.year = local.tm_year + 1900;
    t.month = static_cast<unsigned>(local.tm_mon + 1);
    t.day = static_cast<unsigned>(local.tm_mday);
    t.hour = static_cast<unsigned>(local.tm_hour);
    t.minute = static_cast<unsigned>(local.tm_min);
    // A leap second shows as 60; a controller's clock has no such second.
    t.second = static_cast<unsigned>(local.tm_sec > 59 ? 59 : local.tm_sec);
    t.millisecond = millisecond;
    return t;
}

std::optional<StationTime> TimeFromSyncBytes(const std::array<uint8_t, 8>& b) {
    StationTime t;
    t.millisecond = b[0] + 100u * b[1];
    t.second = b[2];
    t.minute = b[3];
    t.hour = b[4];
    t.day = b[5];
    t.month = b[6];
    t.year = 2000 + b[7];
    if (b[0] > 99 || b[1] > 9 || t.second > 59 || t.minute > 59 || t.hour > 23 || b[7] > 99) {
        return std::nullopt;
    }
    const std::chrono::year_month_day ymd{std::chrono::year{t.year} / std::chrono::month{t.month} /
                                          std::chrono::day{t.day}};
    if (!ymd.ok()) {
        return std::nullopt;
    }
    return t;
}

void StationClock::Set(const StationTime& time, Steady::time_point at) {
    base_ = ToLocal(time);
    baseAt_ = at;
}

StationTime StationClock::Now(Steady::time_point now) const {
    const auto elapsed = std::chrono::floor<std::chrono::milliseconds>(now - baseAt_);
    return FromLocal(base_ + elapsed);
}

} // namespace h51sim
