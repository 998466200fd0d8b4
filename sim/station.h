// One controller on the line: its data tables, event facility and clock, and what it does
// with a request addressed to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "sim/event_store.h"
#include "sim/request.h"
#include "sim/station_clock.h"

namespace h51sim {

struct StationConfig {
    uint8_t address = 1; ///< 1 to 31
    uint32_t coils = 10000;
    uint32_t discreteInputs = 10000;
    uint32_t holdingRegisters = 10000;
    uint32_t inputRegisters = 10000;
    uint16_t eventGates = 0;    ///< at most 2048
    size_t eventCapacity = 500; ///< records the event buffer holds
    double eventRate = 0.0;     ///< random changes per second over all gates; 0 for none
};

inline constexpr uint32_t kMaxTableSize = 65536;
/// A controller keeps events 0 to the protocol's highest event number.
inline constexpr uint16_t kMaxEventGates = merix::kMaxEventNumber + 1;
inline constexpr uint16_t kMaxReadBits = 2000;
inline constexpr uint16_t kMaxReadRegisters = 127;

using merix::kIllegalDataAddress;
using merix::kIllegalDataValue;
using merix::kIllegalFunction;

/// What a station answers; turned into a frame by the reply builder.
struct Response {
    enum class Kind {
        None,      ///< broadcast, or a request that gets no answer
        Data,      ///< station, function, byte count, data
        Echo,      ///< station, function, the 4 request bytes
        Exception, ///< station, function | 0x80, code
    };
    Kind kind = Kind::None;
    uint8_t function = 0;
    uint8_t exceptionCode = 0;
    std::vector<uint8_t> data;
};

/// An event change as the station produced it, whether it went into the buffer or was lost.
struct GeneratedEvent {
    uint16_t number = 0;
    uint8_t value = 0;
    StationTime time;      ///< the station clock's time stamp, as the record carries it
    bool buffered = false; ///< false: the buffer was full and the change was lost
    std::chrono::steady_clock::time_point at{};
};

/// Checks a configuration; false with the reason in `why` when it cannot be used.
bool ValidateStationConfig(const StationConfig& config, const char** why);

class Station {
public:
    using Steady = std::chrono::steady_clock;

    /// The configuration must have passed ValidateStationConfig.
    explicit Station(const StationConfig& config);

    const StationConfig& Config() const { return config_; }

    /// Carries out a request addressed to this station (or to all, when `broadcast`).
    Response Execute(const Request& request, bool broadcast, Steady::time_point now);

    bool SetCoil(uint32_t address, bool value);
    bool SetDiscreteInput(uint32_t address, bool value);
    bool SetHoldingRegister(uint32_t address, uint16_t value);
    bool SetInputRegister(uint32_t address, uint16_t value);
    std::optional<bool> Coil(uint32_t address) const;
    std::optional<bool> DiscreteInput(uint32_t address) const;
    std::optional<uint16_t> HoldingRegister(uint32_t address) const;
    std::optional<uint16_t> InputRegister(uint32_t address) const;

    /// An event gate changes to `value` now, stamped by the station clock; nullopt when there
    /// is no such gate.
    std::optional<GeneratedEvent> GenerateEvent(uint16_t number, bool value,
                                                Steady::time_point now);

    EventStore& Events() { return events_; }
    const EventStore& Events() const { return events_; }

    StationClock& ClockRef() { return clock_; }
    const StationClock& ClockRef() const { return clock_; }

private:
    Response ReadBits(const Request& r, const std::vector<uint8_t>& table);
    Response ReadRegisters(const Request& r, const std::vector<uint16_t>& table);
    Response WriteCoil(const Request& r);
    Response WriteRegister(const Request& r);
    Response EventInit(const Request& r);
    Response EventRepeat(const Request& r);

    StationConfig config_;
    std::vector<uint8_t> coils_;
    std::vector<uint8_t> inputs_;
    std::vector<uint16_t> registers_;
    std::vector<uint16_t> inputRegisters_;
    EventStore events_;
    StationClock clock_;
};

} // namespace h51sim
