// Transactions per second on lines behind device servers on the loopback, beside the same
// simulator on its pseudo-terminal: h51sim's own listener, and Debian's ser2net, raw and with
// RFC 2217, in front of the pseudo-terminal. What the network path costs a scan.

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_report.h"
#include "driver/library_state.h"
#include "host/qorlib_control.h"
#include "line_start.h"
#include "merix/vpi.h"
#include "network_servers.h"
#include "sim/simulator.h"
#include "sim/tcp_bridge.h"

namespace merix::bench {

namespace {

constexpr int kRounds = 5;

enum class Path { kPty, kListener, kSer2netRaw, kSer2netRfc2217 };
constexpr std::array kPaths{Path::kPty, Path::kListener, Path::kSer2netRaw, Path::kSer2netRfc2217};

/// h51sim with one station, reached by `path`, and the driver on it through PORT.
class ServedLine {
public:
    ServedLine(uint32_t baud, Path path) {
        ResetLibraryStateForTests();
        qorlib::Reset();
        h51sim::LineConfig line;
        line.baud = static_cast<int>(baud);
        line.parity = h51sim::Parity::Even;
        sim_ = std::make_unique<h51sim::Simulator>(line);
        h51sim::StationConfig station;
        station.address = 1;
        sim_->AddStation(station);
        if (!sim_->Start()) {
            return;
        }
        std::string port = sim_->DeviceName();
        std::string why;
        if (path == Path::kListener) {
            if (!bridge_.Start("127.0.0.1", 0, port, &why)) {
                return;
            }
            port = h51sim::ListenUrl("127.0.0.1", bridge_.Port());
        } else if (path != Path::kPty) {
            const bool rfc2217 = path == Path::kSer2netRfc2217;
            if (!ser2net_.Start(port, rfc2217, std::to_string(baud) + "e81", &why)) {
                return;
            }
            port = ser2net_.Url();
        }
        ok_ = StartLine(ctx_, "PORT = " + port + "\n", baud, 50);
    }
    ~ServedLine() {
        CallBlock cb{&ctx_, kCloseCom, 1, 0, nullptr};
        VpiMain(&cb);
        bridge_.Stop();
        ser2net_.Stop();
        sim_->Stop();
    }
    ServedLine(const ServedLine&) = delete;
    ServedLine& operator=(const ServedLine&) = delete;

    bool ok() const { return ok_; }
    bool Read(int32_t count) {
        char text[] = "01300000";
        GateAccessRecord rec{};
        rec.addressString = text;
        rec.station = 1;
        rec.function = 3;
        rec.count = count;
        rec.valuePtr = value_;
        CallBlock cb{&ctx_, count == 1 ? kSingleRead : kBlockRead, 1, 0, &rec};
        return VpiMain(&cb) == 0;
    }

private:
    DriverContext ctx_{};
    std::unique_ptr<h51sim::Simulator> sim_;
    h51sim::TcpBridge bridge_;
    merix::test::Ser2net ser2net_;
    uint8_t value_[512] = {};
    bool ok_ = false;
};

/// Reads of `count` registers per second for `seconds`; 0 when the line could not be had or
/// a read failed.
double ReadsPerSecond(uint32_t baud, Path path, int32_t count, int seconds) {
    ServedLine line(baud, path);
    if (!line.ok()) {
        return 0;
    }
    const double end = WallMicros() + seconds * 1e6;
    const double start = WallMicros();
    long done = 0;
    while (WallMicros() < end) {
        if (!line.Read(count)) {
            return 0;
        }
        ++done;
    }
    return static_cast<double>(done) / ((WallMicros() - start) / 1e6);
}

} // namespace

void NetworkSection(int seconds) {
    std::printf("\nTransactions per second through device servers on the loopback, beside the "
                "pseudo-terminal: h51sim (8E1, paced at the\nline rate) behind each; the median "
                "of %d rounds of %d s, the rounds taking turns over the paths; - where ser2net is "
                "missing\n\n",
                kRounds, seconds);
    std::printf("| transaction            | baud   | pty/s    | h51sim --listen/s | ser2net raw/s "
                "| ser2net RFC 2217/s |\n");
    std::printf("|------------------------|--------|----------|-------------------|--------------"
                "-|--------------------|\n");
    const bool ser2net = merix::test::Ser2net::Missing().empty();
    for (const uint32_t baud : {9600u, 57600u}) {
        for (const int32_t count : {1, 125}) {
            std::array<std::vector<double>, kPaths.size()> rounds;
            for (int round = 0; round < kRounds; ++round) {
                for (std::size_t p = 0; p < kPaths.size(); ++p) {
                    if (ser2net || p < 2) {
                        rounds[p].push_back(ReadsPerSecond(baud, kPaths[p], count, seconds));
                    }
                }
            }
            std::array<std::string, kPaths.size()> cells;
            for (std::size_t p = 0; p < kPaths.size(); ++p) {
                char text[16] = "-";
                if (!rounds[p].empty()) {
                    std::snprintf(text, sizeof text, "%.1f", Percentile(rounds[p], 0.5));
                }
                cells[p] = text;
            }
            std::printf("| %-22s | %6u | %8s | %17s | %13s | %18s |\n",
                        count == 1 ? "read 1 register" : "read 125 registers", baud,
                        cells[0].c_str(), cells[1].c_str(), cells[2].c_str(), cells[3].c_str());
        }
    }
}

} // namespace merix::bench
