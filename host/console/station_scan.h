// The search for stations: one read of one holding register of a station, with the driver's
// statistics gates read before and after it, so that an exception reply (which proves the
// station as well as a value does) is told from silence and from a garbled reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/console/driver_instance.h"
#include "host/console/scan_model.h"
#include "host/console/statistics_gates.h"

namespace merixhost {

enum class StationAnswer {
    None,      ///< silence, or nothing the driver could take as this station's reply
    Value,     ///< the register's value
    Exception, ///< an exception reply: the station is there, and refused the read
};

struct ProbeResult {
    int station = 0;
    StationAnswer answer = StationAnswer::None;
    uint16_t value = 0;
    int exceptionCode = -1; ///< the reply's code; -1 when it could not be told
    std::optional<uint32_t> turnaroundUs;
    uint32_t echoFaults = 0; ///< the driver's ECHO count of this read
    bool garbled = false;    ///< bytes came, but no reply (CRC, length, framing, parity)

    bool Found() const { return answer != StationAnswer::None; }
};

/// "1234" or "exception 2"; "-" when nothing answered.
std::string AnswerText(const ProbeResult& result);

class StationProbe {
public:
    StationProbe(DriverInstance& driver, int scanRegister)
        : driver_(driver), scanRegister_(scanRegister) {}

    /// Has the driver parse the statistics gates of `stations`; call after each ColdStart.
    /// False when it refuses them: reads still find stations that answer with a value.
    bool Prepare(const std::vector<int>& stations);
    /// One read of the scan register of `station`, as a host's SingleRead.
    ProbeResult Probe(int station);

private:
    uint32_t Delta(int station, Counter counter) const;

    DriverInstance& driver_;
    int scanRegister_;
    StatisticsGates statistics_;
    bool counted_ = false;
    StationTable before_{};
    StationTable after_{};
};

} // namespace merixhost
