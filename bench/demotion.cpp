// What a station that does not answer costs the stations that do, on the same line: their
// reads per second with DEMOTE off and with DEMOTE = 10, beside the same line scanned without
// the silent station.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_report.h"
#include "driver/library_state.h"
#include "host/qorlib_control.h"
#include "line_start.h"
#include "merix/vpi.h"
#include "services/line_statistics.h"
#include "sim/simulator.h"

namespace merix::bench {

namespace {

constexpr int kRounds = 5;
/// Each half of a round is whole scans, and at least this long: a scan with the silent
/// station and DEMOTE off takes longer by itself.
constexpr double kHalfSeconds = 1.5;
constexpr uint32_t kBaud = 9600;
constexpr int32_t kLiveStations = 3; ///< stations 1 to 3 answer
constexpr int32_t kSilent = 4;       ///< on no line at all
constexpr int32_t kGatesPerStation = 5;
constexpr uint32_t kReplyTimeout = 10; ///< in the driver's tens of ms: 100 ms
constexpr int kDemoteSeconds = 10;

/// h51sim with stations 1 to 3, and the driver on it with DEMOTE as given (0 leaves it out of
/// the initialisation file); its scans take the silent station's gates or leave them out.
class ScannedLine {
public:
    explicit ScannedLine(int demoteSeconds) {
        ResetLibraryStateForTests();
        qorlib::Reset();
        h51sim::LineConfig line;
        line.baud = static_cast<int>(kBaud);
        line.parity = h51sim::Parity::Even;
        sim_ = std::make_unique<h51sim::Simulator>(line);
        for (int32_t s = 1; s <= kLiveStations; ++s) {
            h51sim::StationConfig station;
            station.address = static_cast<uint8_t>(s);
            sim_->AddStation(station);
        }
        ok_ = sim_->Start() && ColdStart(demoteSeconds);
    }
    ~ScannedLine() {
        CallBlock cb{&ctx_, kCloseCom, 1, 0, nullptr};
        VpiMain(&cb);
        sim_->Stop();
    }
    ScannedLine(const ScannedLine&) = delete;
    ScannedLine& operator=(const ScannedLine&) = delete;

    bool ok() const { return ok_; }

    /// One scan: every gate of every station once, station by station, as a host's scan
    /// goes; the silent station's last when `silent`. Returns the live stations' good reads.
    long Scan(bool silent) {
        long good = 0;
        for (int32_t s = 1; s <= (silent ? kSilent : kLiveStations); ++s) {
            for (int32_t g = 0; g < kGatesPerStation; ++g) {
                const bool read = Read(s, g);
                good += read && s != kSilent ? 1 : 0;
            }
        }
        return good;
    }

    /// A counter of the silent station, as its statistics gate would read it.
    uint32_t SilentCounter(LineCounter counter) const {
        return ReadLineCounter(ctx_, kSilent, counter).value_or(0);
    }

private:
    /// ColdStart reading DEMOTE, and the pseudo-terminal's path as PORT whatever its length,
    /// from an initialisation file of the line's own.
    bool ColdStart(int demoteSeconds) {
        std::string ini = "PORT = " + sim_->DeviceName() + "\n";
        if (demoteSeconds > 0) {
            ini += "DEMOTE = " + std::to_string(demoteSeconds) + "\n";
        }
        return StartLine(ctx_, ini, kBaud, kReplyTimeout);
    }

    bool Read(int32_t station, int32_t address) {
        char text[32];
        std::snprintf(text, sizeof text, "%02d3%05d", station, address);
        GateAccessRecord rec{};
        rec.addressString = text;
        rec.station = station;
        rec.function = 3;
        rec.address = address;
        rec.count = 1;
        rec.valuePtr = value_;
        CallBlock cb{&ctx_, kSingleRead, 1, 0, &rec};
        return VpiMain(&cb) == 0;
    }

    DriverContext ctx_{};
    std::unique_ptr<h51sim::Simulator> sim_;
    uint8_t value_[16] = {};
    bool ok_ = false;
};

/// The live stations' good reads per second over whole scans of at least kHalfSeconds.
double LiveReadsPerSecond(ScannedLine& line, bool silent) {
    const double start = WallMicros();
    long good = 0;
    do {
        good += line.Scan(silent);
    } while (WallMicros() - start < kHalfSeconds * 1e6);
    return static_cast<double>(good) / ((WallMicros() - start) / 1e6);
}

/// One DEMOTE setting's rounds: the live stations' reads per second without and with the
/// silent station in each, and what the silent station cost over all of them.
struct Rounds {
    std::vector<double> without;
    std::vector<double> with;
    std::vector<double> share; ///< with / without, of each round
    uint32_t sent = 0;         ///< the silent station's reads that went on the line (FAIL)
    uint32_t atOnce = 0;       ///< its reads answered at once (DEM)
    bool ok = false;
};

Rounds Measure(int demoteSeconds) {
    Rounds r;
    ScannedLine line(demoteSeconds);
    if (!line.ok()) {
        return r;
    }
    if (demoteSeconds > 0) {
        line.Scan(true); // untimed: it demotes the silent station, as the scan that meets it does
    }
    const uint32_t sent = line.SilentCounter(LineCounter::kFail);
    const uint32_t atOnce = line.SilentCounter(LineCounter::kDemoted);
    // The halves of a round take turns on one line, so that the machine's other load and the
    // line's own pace weigh on both alike; the demotion runs on through them.
    for (int round = 0; round < kRounds; ++round) {
        r.without.push_back(LiveReadsPerSecond(line, false));
        r.with.push_back(LiveReadsPerSecond(line, true));
        r.share.push_back(r.with.back() / r.without.back());
    }
    r.sent = line.SilentCounter(LineCounter::kFail) - sent;
    r.atOnce = line.SilentCounter(LineCounter::kDemoted) - atOnce;
    r.ok = true;
    return r;
}

void Row(const char* what, const Rounds& r) {
    if (!r.ok) {
        std::printf("| %-12s | simulator or port not available |\n", what);
        return;
    }
    const auto [low, high] = std::minmax_element(r.share.begin(), r.share.end());
    char range[32];
    std::snprintf(range, sizeof range, "%.0f-%.0f%%", 100.0 * *low, 100.0 * *high);
    std::printf("| %-12s | %16.1f | %13.1f | %5.0f%% | %9s | %11u | %11u |\n", what,
                Percentile(r.without, 0.5), Percentile(r.with, 0.5),
                100.0 * Percentile(r.share, 0.5), range, r.sent, r.atOnce);
}

} // namespace

void DemotionSection() {
    std::printf("\nA silent station among three that answer, %d register gates each, read one by "
                "one, station by station (h51sim, %u 8E1,\nreply timeout %u ms): the live "
                "stations' reads per second without the silent station in the scan and with it, "
                "each over\nwhole scans of at least %.1f s, in turns on one line; share: with "
                "of without, the median of %d rounds, the lowest and\nhighest beside it; sent: "
                "the silent station's reads that went on the line (its FAIL), at once: those "
                "answered 2 at\nonce (its DEM). With DEMOTE, an untimed scan first demotes the "
                "station; its probe, once in %d s, falls into some rounds\n\n",
                kGatesPerStation, kBaud, kReplyTimeout * 10, kHalfSeconds, kRounds, kDemoteSeconds);
    std::printf("| DEMOTE       | without, reads/s | with, reads/s | share  | low-high  | sent "
                "       | at once     |\n");
    std::printf("|--------------|------------------|---------------|--------|-----------|------"
                "-------|-------------|\n");
    Row("off", Measure(0));
    char demote[32];
    std::snprintf(demote, sizeof demote, "%d s", kDemoteSeconds);
    Row(demote, Measure(kDemoteSeconds));
}

} // namespace merix::bench
