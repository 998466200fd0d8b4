// The host's scan: has every gate parsed, then reads each gate at its interval, polls the
// events of the stations that have event gates, and sets the clocks when asked. All driver
// calls are made from the thread that calls these methods, one at a time.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/console/driver_instance.h"
#include "host/console/log_router.h"
#include "host/console/scan_model.h"
#include "host/console/station_health.h"
#include "host/console/statistics_gates.h"

namespace merixhost {

struct ScanSettings {
    Millis interval{1000};      ///< gates without their own interval
    Millis eventInterval{1000}; ///< "$EVENT" polls
    bool syncTime = false;      ///< write "$TIME" once at the start
    std::optional<Millis> timeSyncEvery;
};

struct ScanObserver {
    std::function<void(const GateState&, Access, int result)> onAccess;
    std::function<void(const EventRecord&)> onEvent;
    /// A line of the start-up report (parse results, writes, warm starts).
    std::function<void(const std::string&)> onReport;
};

class Scanner {
public:
    Scanner(DriverInstance& driver, LogRouter& log, const ScanSettings& settings);
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    void SetObserver(ScanObserver observer) { observer_ = std::move(observer); }

    /// Builds the gates of the list, adds the "$EVENT" polls and the "$TIME" gate that the
    /// scan needs, has the driver parse each gate and defines the event gates in the host.
    /// Call after ColdStart. Reports each gate through onReport.
    void Prepare(const GateList& list);
    /// Schedules every accepted gate from `now` on.
    void Start(SteadyTime now);

    /// Runs the earliest gate that is due at `now`; false when none is due.
    bool RunNext(SteadyTime now);
    /// When the next gate falls due (max when nothing is scheduled).
    SteadyTime NextDue() const;

    /// Writes `value` to the gate called `name`; the driver's result, or nullopt with
    /// `error` set when the gate cannot be written by this host.
    std::optional<int> Write(const std::string& name, int32_t value, std::string* error);
    int WarmStart(int station);
    /// Reads the driver's statistics gates into the station table. They are answered from
    /// the driver's memory, so a read costs no line time; call it after a round of gates.
    void ReadStatistics();
    /// Each station's health, as the counters read last tell it.
    Health HealthOf(std::size_t station) const { return health_.Of(station); }

    const std::vector<GateState>& Gates() const { return gates_; }
    const StationTable& Stations() const { return stations_; }
    const std::deque<EventRecord>& RecentEvents() const { return recent_; }
    uint64_t EventCount() const { return eventCount_; }
    uint64_t StateCount() const { return stateCount_; }
    const merix::DriverContext& Context() const { return driver_.Context(); }

private:
    // Set-up (gate_setup.cpp).
    void AddGate(const GateEntry& entry, bool synthetic);
    void ParseGate(GateState& gate);
    void Classify(GateState& gate);
    void AddEventPolls();
    void AddTimeGate();
    std::string ParseReport(const GateState& gate) const;

    // Scan (scanner.cpp).
    int Perform(GateState& gate, Access op);
    void Execute(GateState& gate);
    void Notify(const GateState& gate, Access op, int result);
    void CollectEvents(GateState& poll);
    void UpdateValueText(GateState& gate);
    void PrepareStatistics();

    /// Calls `call` with the driver's log lines captured (the words of a refusal).
    int32_t Tracked(const std::function<int32_t()>& call);
    void Report(const std::string& line);

    DriverInstance& driver_;
    LogRouter& log_;
    ScanSettings settings_;
    ScanObserver observer_;
    std::vector<GateState> gates_;
    StationTable stations_{};
    StatisticsGates statistics_;
    StationHealth health_;
    std::deque<EventRecord> recent_;
    uint64_t eventCount_ = 0;
    uint64_t stateCount_ = 0;
    std::vector<qorlib::LogLine> captured_;
};

} // namespace merixhost
