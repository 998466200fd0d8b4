// What a run of merixhost leaves for its report page: per station what happened in each
// interval of the run, the driver's last counters, the line's time on the wire, and the
// events and alerts. A ReportRecorder is fed as the run goes, by whatever watches the line
// (the driver's counters in a scan, the frames themselves when listening), and its Finish
// gives the RunReport that the page is made from.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/console/scan_model.h"
#include "host/console/time_text.h"

namespace merixhost {

/// Why a transaction failed, as the page tells the kinds apart.
enum class FailureKind : uint8_t { kSilence, kCrc, kWrong, kException, kShort, kEcho };
inline constexpr size_t kFailureKinds = 6;
/// "no reply", "bad CRC", ...
std::string_view FailureName(FailureKind kind);

struct ReportLine {
    std::string port;
    std::string settings; ///< "19200 8E1"
    std::string source;   ///< who watched the line: the driver and its version, or a listener
};

/// What one station (or the whole line) did in one interval.
struct ReportInterval {
    uint64_t successes = 0;
    std::array<uint64_t, kFailureKinds> failures{};
    uint64_t events = 0;
    uint32_t turnarounds = 0; ///< samples; min, max and sum are in ms
    double turnaroundMin = 0;
    double turnaroundMax = 0;
    double turnaroundSum = 0;
    double wireSeconds = 0;

    void Add(const ReportInterval& other);
    std::optional<double> TurnaroundMean() const;
    uint64_t Failures() const;
};

using NamedCounters = std::vector<std::pair<std::string, uint64_t>>;

struct StationReport {
    int station = 0;
    std::vector<ReportInterval> intervals; ///< from the run's start, intervalSeconds each
    ReportInterval total;
    NamedCounters counters; ///< the driver's, as last read; empty when none were given
};

struct ReportNote {
    SystemTime at;
    std::string kind; ///< "event", "alert", "log"
    std::string text;
};

struct RunReport {
    ReportLine line;
    SystemTime wallStart{};
    double seconds = 0;
    double intervalSeconds = 1;
    std::vector<StationReport> stations; ///< ascending, those that anything was recorded of
    NamedCounters lineCounters;          ///< the driver's counters of the whole line
    std::vector<double> wireSeconds;     ///< per interval
    double wireTotal = 0;
    bool occupancyEstimated = false;
    std::vector<ReportNote> notes; ///< oldest first, the newest kMaxNotes
    uint64_t notesLeftOut = 0;

    size_t Intervals() const { return wireSeconds.size(); }
};

class ReportRecorder {
public:
    /// The notes a page lists; older ones are counted, not kept.
    static constexpr size_t kMaxNotes = 200;
    /// Stations take numbers 1 to 247; a call about another station is ignored (for
    /// Counters, 0 is the whole line).
    static constexpr int kMaxStation = 247;

    void Start(SystemTime wallStart, SteadyTime start, ReportLine line);
    /// One reply's turnaround.
    void Turnaround(int station, SteadyTime at, double ms);
    void Failures(int station, SteadyTime at, FailureKind kind, uint32_t count = 1);
    void Successes(int station, SteadyTime at, uint32_t count = 1);
    void Events(int station, SteadyTime at, uint32_t count);
    /// Time on the wire, measured or estimated (then say so with SetOccupancyEstimated).
    void WireTime(SteadyTime at, double seconds);
    void SetOccupancyEstimated(bool estimated) { estimated_ = estimated; }
    /// The counters' last values, replacing those given before.
    void Counters(int station, NamedCounters counters);
    void Note(SystemTime at, std::string kind, std::string text);

    /// The report of the run from Start to `end`, in about kTargetIntervals intervals.
    RunReport Finish(SteadyTime end) const;

    static constexpr int kTargetIntervals = 60;

private:
    /// Buckets of a width that doubles (merging pairs) when the run outgrows kMaxBuckets, so
    /// that a run of weeks costs no more memory than one of an hour.
    class Series {
    public:
        ReportInterval& At(double seconds);
        /// The buckets summed into `count` intervals of `interval` seconds, a multiple of the
        /// width.
        std::vector<ReportInterval> Intervals(double interval, size_t count) const;

    private:
        double width_ = 1;
        std::vector<ReportInterval> buckets_;
    };
    static constexpr size_t kMaxBuckets = 4096;

    double Since(SteadyTime at) const;
    ReportInterval* Station(int station, SteadyTime at);

    SystemTime wallStart_{};
    SteadyTime start_{};
    ReportLine line_;
    std::map<int, Series> stations_;
    std::map<int, NamedCounters> counters_;
    Series wire_;
    bool estimated_ = false;
    std::deque<ReportNote> notes_;
    uint64_t notesLeftOut_ = 0;
};

/// The interval a run of `seconds` is shown in: about `target` of them, whole seconds, and a
/// multiple of `width`, the buckets' width.
double ReportIntervalSeconds(double seconds, int target, double width);

} // namespace merixhost
