// A station's health as people read it at a glance, after NAMUR NE 107's status signals:
// failure (in error, or demoted by the driver), function check (switched off by the host),
// out of spec (retries or bad CRCs rising within the last minute), or good.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>

#include "host/console/scan_model.h"

namespace merixhost {

/// In the order of their weight: a station in two of them shows the heavier.
enum class Health : uint8_t { kGood, kOutOfSpecification, kFunctionCheck, kFailure };

/// "good", "out of spec", "function check", "failure".
const char* HealthName(Health health);
/// NE 107's letter for the state (S, C, F), and blank for good.
char HealthLetter(Health health);
/// The terminal colour (an SGR sequence) of NE 107's symbols: green, yellow, orange, red.
const char* HealthColour(Health health);

class StationHealth {
public:
    /// How far back the counters are compared: a rise within it is out of spec.
    static constexpr auto kWindow = std::chrono::minutes(1);

    /// Takes the counters just read from the driver, at `now`, and the stations' states.
    void Update(const StationTable& table, const uint32_t* plcState, SteadyTime now);
    Health Of(std::size_t station) const {
        return station < health_.size() ? health_[station] : Health::kGood;
    }

private:
    struct Sample {
        SteadyTime at;
        uint32_t retries;
        uint32_t crc;
    };
    std::array<std::deque<Sample>, merix::kStationCount> history_;
    std::array<Health, merix::kStationCount> health_{};
};

} // namespace merixhost
