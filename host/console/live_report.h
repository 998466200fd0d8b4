// Feeds the run report from a scan through the driver: the driver's statistics counters as
// they rise between two reads, the events delivered, its log lines and alerts, and the time
// on the wire as the transactions the scanner made would take at the line's character time
// (the driver does not count its bytes, so that is an estimate, and the page says so).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/console/log_router.h"
#include "host/console/options.h"
#include "host/console/run_report.h"
#include "host/console/scan_model.h"
#include "host/qorlib_control.h"

namespace merixhost {

/// The seconds one character takes on the line: a start bit, the data bits, the parity bit
/// and the stop bits, at the baud rate.
double CharacterSeconds(const Options& options);

/// The bytes the request and the reply of one access to `gate` would put on the wire; 0 and
/// 0 for a gate that the driver answers from its memory. A failed access counts its request
/// only, since whatever came back is not known here.
std::pair<uint32_t, uint32_t> AccessBytes(const GateState& gate, Access op, int result);

class LiveReport {
public:
    LiveReport(const Options& options, ReportLine line)
        : line_(std::move(line)), characterSeconds_(CharacterSeconds(options)) {}

    void Start(SystemTime wallStart, SteadyTime start);
    void OnAccess(const GateState& gate, Access op, int result, SteadyTime at);
    void OnEvent(const EventRecord& event);
    /// A driver log line; those of level 32 and above go on the page.
    void OnLog(const ScreenLine& line);
    /// The counters as just read: what rose since the last read happened in between.
    void OnStatistics(const StationTable& stations, SteadyTime at);
    /// The host's alerts; those not seen before go on the page.
    void OnAlerts(const std::vector<qorlib::Alert>& alerts, SystemTime at);

    /// The report of the run, with the counters' last values.
    RunReport Finish(const StationTable& stations, SteadyTime end);

    static constexpr int kNoteLevel = 32;

private:
    void Deltas(int station, const StationStats& now, SteadyTime at);

    ReportLine line_;
    double characterSeconds_;
    ReportRecorder recorder_;
    StationTable last_{};
    std::set<uint32_t> alertsSeen_;
};

} // namespace merixhost
