// What the scanner knows about each gate, station and event; the views and the CSV files
// read it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/console/gate_list.h"
#include "host/console/time_text.h"
#include "merix/statistics_gates.h"
#include "merix/vpi.h"

namespace merixhost {

using SteadyTime = std::chrono::steady_clock::time_point;

enum class GateKind {
    Single,    ///< one register, coil or input ("$ERROR" too)
    Block,     ///< consecutive registers or bits in one request
    Internal,  ///< a driver setting or station switch, answered without line traffic
    EventGate, ///< gets its values from a station's event poll
    EventPoll, ///< a station's "$EVENT" gate
    TimeSync,  ///< "$TIME": written to set the controllers' clocks
};

struct GateState {
    GateEntry entry;
    bool synthetic = false; ///< added by the host, not in the gate list
    std::vector<char> text; ///< the address as the driver sees it (it may upper-case it)
    merix::GateParseRecord parsed{};
    int parseResult = -1;  ///< -1 until parsed
    std::string parseNote; ///< the driver's own words for a refusal
    GateKind kind = GateKind::Single;
    merix::GateAccessRecord rec{};
    std::vector<uint8_t> value;     ///< the value buffer the driver writes
    std::string eventAddress;       ///< event gates: "E%02d%04d", as the driver looks it up
    std::vector<size_t> eventGates; ///< event polls: the station's event gates
    Millis interval{0};
    SteadyTime due = SteadyTime::max();

    std::optional<int> lastResult;
    std::optional<SystemTime> lastGood;
    std::string valueText;
    uint64_t accesses = 0;
    uint64_t failures = 0;
    std::optional<double> eventValue; ///< event gates: the last value delivered
    int lastPollEvents = 0;           ///< event polls: events the last poll delivered

    bool Accepted() const { return parseResult == 0; }
    /// The controller station this gate talks to, or -1 (internal gates, broadcasts).
    int Station() const;
};

/// The driver's statistics counters of a station, in the order of their gate indexes.
// The driver's statistics counters, named and ordered as its gates are.
using Counter = merix::LineCounter;
inline constexpr size_t kCounterCount = merix::kLineCounterCount;
/// The counter's name as its gate's address ends ("ST05SIL") and as the views head it.
std::string_view CounterName(Counter counter);
/// The unit of a counter that is a value rather than a count ("us"); empty for a count.
std::string_view CounterUnit(Counter counter);

struct StationStats {
    bool used = false;
    /// The driver's counters as its statistics gates gave them at the last read; unset
    /// until read, and for a driver that refuses the gates.
    std::array<std::optional<uint32_t>, kCounterCount> counters{};
    std::optional<uint32_t> Get(Counter c) const { return counters[static_cast<size_t>(c)]; }
    bool Counted() const { return counters[0].has_value(); }
};
/// Stations 1 to 31 at their numbers; entry 0 holds the whole line's counters.
using StationTable = std::array<StationStats, merix::kStationCount>;

/// One value delivered into an event gate.
struct EventRecord {
    SystemTime received;
    int station = 0;
    int number = 0;
    std::string gate;    ///< the gate list's name
    std::string address; ///< "E%02d%04d"
    double value = 0;
    int32_t seconds = 0; ///< the controller's time stamp; 0 for a start-up state
    uint16_t millis = 0;
    bool IsState() const { return seconds == 0; }
};

enum class Access { Read, Write };

/// "ok", "1 refused", "2 failed", "3 wrong reply".
std::string ResultText(int result);

/// "OK 108, FAIL 0, ..., TURN 2210 us", with "-" for a counter not read.
std::string CountersText(const StationStats& stats);

/// The seconds the driver's demotion of a station still runs, as its DEML gate told them at
/// the last read: 0 when it is not demoted or the gate was not read, and for a station
/// switched off, whose switch is the user's word and outweighs the driver's period.
uint32_t DemotionLeft(const StationStats& stats, uint32_t plcState);

/// The name of a station's state: its plcState's ("communicating", "in error", "switched
/// off"), or "demoted" while DemotionLeft runs.
const char* StationStateText(const StationStats& stats, uint32_t plcState);

/// The same as the views show it, with the seconds of a demotion: "demoted 7 s".
std::string StationStateShown(const StationStats& stats, uint32_t plcState);

} // namespace merixhost
