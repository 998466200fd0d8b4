// The driver's statistics gates ("ST01OK", "ST00RTRY", ...): its own counts of each station's
// transactions, retries and faults, answered from its memory without line traffic. Reading
// them, rather than counting for itself, makes the console show what an HMI would show.
#pragma once

#include <string>
#include <vector>

#include "host/console/driver_instance.h"
#include "host/console/scan_model.h"

namespace merixhost {

class StatisticsGates {
public:
    /// Has the driver parse the counters of `stations` and of the whole line (station 00).
    /// False when the driver refuses them, as a driver without statistics does; then no gate
    /// is kept and Read leaves the table alone.
    bool Prepare(DriverInstance& driver, const std::vector<int>& stations);
    /// Reads every kept gate into `table`. Internal gates: no line traffic.
    void Read(DriverInstance& driver, StationTable& table);
    size_t Count() const { return gates_.size(); }
    /// The address that the driver refused, after Prepare failed.
    const std::string& Refused() const { return refused_; }

    /// "ST05SIL": the address of `counter` of `station` (0: the whole line).
    static std::string Address(int station, Counter counter);

private:
    struct Gate {
        int station = 0;
        Counter counter = Counter::kOk;
        std::vector<char> text;     ///< the address, as the driver parses it
        std::vector<uint8_t> value; ///< the value buffer: a 16-bit host word at byte 2
        merix::GateAccessRecord rec{};
    };
    bool Add(DriverInstance& driver, int station, Counter counter);

    std::vector<Gate> gates_;
    std::string refused_;
};

} // namespace merixhost
