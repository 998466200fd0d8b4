// The statistics gates: "ST", two station digits (00: the whole line) and a counter name, such
// as "ST05SIL". Internal gates of gate type 0 that an HMI's gate list names, so their names
// and their order are part of the host interface, as the log texts are.
#pragma once

#include <cstdint>
#include <string_view>

namespace merix {

/// The counters of a station, in the order of their gate addresses.
enum class LineCounter : uint8_t {
    kOk,         ///< "OK": transactions that ended with result 0
    kFail,       ///< "FAIL": transactions with line traffic that ended otherwise
    kRetry,      ///< "RTRY": requests sent beyond the first of a transaction
    kSilence,    ///< "SIL": attempts answered by silence
    kCrc,        ///< "CRC": replies with a wrong CRC
    kWrong,      ///< "WRNG": whole replies with a good CRC that did not answer the request
    kException,  ///< "EXC": exception replies and refusals
    kEvents,     ///< "EVT": event records delivered from event blocks
    kTurnaround, ///< "TURN": the last reply's turnaround in microseconds (a value, not a count)
    // New counters go last: a gate address, once parsed, keeps its meaning.
    kShort,   ///< "SHRT": replies cut short: the first bytes came, then silence
    kFraming, ///< "FRM": framing errors the port saw while a reply was awaited
    kParity,  ///< "PAR": parity errors, likewise
    kOverrun, ///< "OVR": characters lost to a full UART or input buffer, likewise
    kDemoted, ///< "DEM": transactions answered at once because the station was demoted
    /// "DEML": the seconds the station's demotion still runs (a value, not a count; 0: not
    /// demoted); for the whole line, the longest of them
    kDemotedLeft,
    /// "ECHO": requests whose echo on a line that echoes came back changed (a collision) or
    /// not at all
    kEcho,
    kEnd, ///< not a counter: how many there are
};
inline constexpr int kLineCounterCount = static_cast<int>(LineCounter::kEnd);

/// The counter's name in a statistics gate; index by the counter. The one list of the names:
/// the console's table, its CSV files and their tests follow it.
inline constexpr std::string_view kLineCounterNames[] = {
    "OK",   "FAIL", "RTRY", "SIL", "CRC", "WRNG", "EXC",  "EVT",
    "TURN", "SHRT", "FRM",  "PAR", "OVR", "DEM",  "DEML", "ECHO"};
static_assert(sizeof kLineCounterNames / sizeof kLineCounterNames[0] == kLineCounterCount,
              "every counter has a name, in the order of the enum");

constexpr std::string_view LineCounterName(LineCounter counter) {
    return kLineCounterNames[static_cast<int>(counter)];
}

} // namespace merix
