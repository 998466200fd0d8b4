// A controller's real-time clock: a civil date and time that runs on from when it was set.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace h51sim {

/// A civil (local) date and time to the millisecond, as a controller keeps it.
struct StationTime {
    int year = 2000;
    unsigned month = 1;
    unsigned day = 1;
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
    unsigned millisecond = 0;

    bool operator==(const StationTime&) const = default;
    /// "2024-05-01 10:07:05.456"
    std::string ToString() const;
};

/// The host's local time now; the clock every station starts with.
StationTime HostLocalTime();

/// The local date and time of calendar `seconds`, with `millisecond` added.
StationTime LocalTimeAt(std::time_t seconds, unsigned millisecond);

/// The date and time of a time-synchronisation frame's 8 bytes (ms%100, ms/100, second,
/// minute, hour, day, month, year%100; years 2000 to 2099); nullopt when a field is out of range.
std::optional<StationTime> TimeFromSyncBytes(const std::array<uint8_t, 8>& bytes);

class StationClock {
public:
    using Steady = std::chrono::steady_clock;

    StationClock() : StationClock(HostLocalTime(), Steady::now()) {}
    StationClock(const StationTime& time, Steady::time_point at) { Set(time, at); }

    void Set(const StationTime& time, Steady::time_point at);
    StationTime Now(Steady::time_point now) const;

private:
    std::chrono::local_time<std::chrono::milliseconds> base_{};
    Steady::time_point baseAt_{};
};

} // namespace h51sim
