// Transactions per second against the simulated line, beside the line's own limit and
// beside libmodbus doing the same standard reads against the same simulator.
#include <modbus.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_report.h"
#include "driver/library_state.h"
#include "host/qorlib_control.h"
#include "merix/vpi.h"
#include "platform/platform.h"
#include "serial/line_direction.h"
#include "serial/line_trace.h"
#include "serial/protocol.h"
#include "services/instance_settings.h"
#include "sim/simulator.h"

namespace merix::bench {

namespace {

constexpr int kEventGates = 8;
constexpr int kRecordsPerBlock = static_cast<int>(kMaxRecordsPerBlock);
constexpr int kHookRounds = 20000;
/// Rounds of each transaction row: one round moves by up to 20 points on a shared machine.
constexpr int kRounds = 5;

/// Characters of a transaction on the wire: request, reply and a 3.5-character gap on each
/// side of the reply, at 11 bits a character (8 data bits, even parity, one stop bit).
double LineLimit(uint32_t baud, int requestBytes, int replyBytes) {
    const double chars = requestBytes + replyBytes + 7.0;
    return baud / (chars * 11.0);
}

/// The same with the gap that the driver is configured for before each request (IFG, in
/// whole milliseconds and at least 1) in place of the 3.5 characters before the request: at
/// 38400 baud and faster 1 ms is more than 3.5 characters, so the first limit is out of
/// reach for a driver that keeps its gap.
double GapLimit(uint32_t baud, int requestBytes, int replyBytes, uint16_t gapMs) {
    const double wire = (requestBytes + replyBytes + 3.5) * 11.0 / baud;
    return 1.0 / (wire + gapMs / 1000.0);
}

struct Measured {
    double perSecond = 0;
    double cpuMicros = 0;
    double holdMicros = 0; ///< line hold per transaction, where the caller counts it
};

Measured Run(int seconds, const std::function<bool()>& transaction) {
    const double wallEnd = WallMicros() + seconds * 1e6;
    const double cpuStart = ThreadCpuMicros();
    const double wallStart = WallMicros();
    long done = 0;
    while (WallMicros() < wallEnd) {
        if (!transaction()) {
            break;
        }
        ++done;
    }
    const double wall = (WallMicros() - wallStart) / 1e6;
    return {done / wall, done > 0 ? (ThreadCpuMicros() - cpuStart) / done : 0};
}

class Line {
public:
    /// A line at `baud`; with `trace`, the driver's line trace goes to that file. With
    /// `portSwitched` the driver runs the line as if its port had taken RS-485 mode, which a
    /// pseudo-terminal cannot: no DTR/RTS switching, no busy-wait, a drain instead.
    explicit Line(uint32_t baud, const char* trace = nullptr, bool portSwitched = false) {
        ResetLibraryStateForTests();
        qorlib::Reset();
        for (int e = 0; e < kEventGates; ++e) {
            char text[16];
            std::snprintf(text, sizeof text, "E01%04d", e);
            qorlib::DefineGate(text, 1);
        }
        h51sim::LineConfig line;
        line.baud = static_cast<int>(baud);
        line.parity = h51sim::Parity::Even;
        sim_ = std::make_unique<h51sim::Simulator>(line);
        h51sim::StationConfig station;
        station.address = 1;
        station.eventGates = kEventGates;
        station.eventCapacity = 100000;
        sim_->AddStation(station);
        ok_ = sim_->Start();
        port_ = sim_->DeviceName();
        if (port_.size() >= kPortNameSize) {
            link_ = "/tmp/mxb" + std::to_string(getpid() % 1000);
            unlink(link_.c_str());
            ok_ = ok_ && symlink(port_.c_str(), link_.c_str()) == 0;
            port_ = link_;
        }
        StartParams sp{};
        std::memcpy(sp.portName, port_.c_str(), port_.size() + 1);
        sp.comOn = 1;
        sp.replyTimeout = 50;
        sp.baud = static_cast<uint16_t>(baud);
        sp.dataBits = 8;
        sp.parity = 2;
        CallBlock cb{&ctx_, kColdStart, 1, 0, &sp};
        VpiMain(&cb);
        ok_ = ok_ && ctx_.hf != 0;
        if (portSwitched) {
            SetLineDirection(ctx_, LineDirection::kPortSwitched);
        }
        // As TRACE = <file> in the initialisation file would.
        if (trace != nullptr) {
            StartLineTrace(ctx_, trace, kDefaultTraceMiB);
            ok_ = ok_ && LineTraced(ctx_);
        }
    }
    ~Line() {
        CallBlock cb{&ctx_, kCloseCom, 1, 0, nullptr};
        VpiMain(&cb);
        sim_->Stop();
        if (!link_.empty()) {
            unlink(link_.c_str());
        }
    }
    bool ok() const { return ok_; }
    std::string device() const { return sim_->DeviceName(); }
    /// The inter-frame gap the driver chose at ColdStart, in ms.
    uint16_t gap() const { return ctx_.IFG; }
    /// The measured line hold of the last request, in microseconds.
    double hold() const { return static_cast<double>(ctx_.pracDelay) * 1000.0; }
    /// Leaves the line to another master.
    void ClosePort() {
        CallBlock cb{&ctx_, kCloseCom, 1, 0, nullptr};
        VpiMain(&cb);
    }
    h51sim::Simulator& sim() { return *sim_; }

    bool Read(int32_t function, int32_t address, int32_t count) {
        char text[] = "01300000";
        GateAccessRecord rec{};
        rec.addressString = text;
        rec.station = 1;
        rec.function = function;
        rec.address = address;
        rec.count = count;
        rec.valuePtr = value_;
        CallBlock cb{&ctx_, count == 1 ? kSingleRead : kBlockRead, 1, 0, &rec};
        return VpiMain(&cb) == 0;
    }
    bool PollEvents() {
        char text[] = "$EVENT";
        GateAccessRecord rec{};
        rec.addressString = text;
        rec.station = 1;
        rec.function = 3;
        rec.valuePtr = value_;
        CallBlock cb{&ctx_, kSingleRead, 1, 0, &rec};
        return VpiMain(&cb) == 0;
    }

private:
    DriverContext ctx_{};
    std::unique_ptr<h51sim::Simulator> sim_;
    std::string port_;
    std::string link_;
    uint8_t value_[512] = {};
    bool ok_ = false;
};

Measured Libmodbus(const std::string& device, uint32_t baud, int seconds, int count) {
    // A pseudo-terminal cannot keep parity, and libmodbus refuses a port whose parity
    // setting did not stick; the simulator paces the line for 8E1 all the same.
    modbus_t* mb = modbus_new_rtu(device.c_str(), static_cast<int>(baud), 'N', 8, 1);
    if (mb == nullptr || modbus_connect(mb) != 0) {
        if (mb != nullptr) {
            modbus_free(mb);
        }
        return {};
    }
    modbus_set_slave(mb, 1);
    modbus_set_response_timeout(mb, 0, 500000);
    uint16_t regs[125];
    const Measured m =
        Run(seconds, [&] { return modbus_read_registers(mb, 0, count, regs) == count; });
    modbus_close(mb);
    modbus_free(mb);
    return m;
}

/// One row's rounds: each round's figures, of which the row shows the median and the spread.
struct Rounds {
    std::vector<Measured> merix;
    std::vector<Measured> port; ///< the same with the line switched by the port
    std::vector<Measured> libmodbus;
};

struct Spread {
    double median = 0;
    double low = 0;
    double high = 0;
};

Spread SpreadOf(const std::vector<Measured>& rounds, double Measured::*field) {
    std::vector<double> values;
    for (const auto& m : rounds) {
        values.push_back(m.*field);
    }
    if (values.empty()) {
        return {};
    }
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return {Percentile(values, 0.5), *low, *high};
}

std::string RangeText(const Spread& s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f-%.1f", s.low, s.high);
    return text;
}

void Row(const char* what, uint32_t baud, const Rounds& rounds, double limit, double gapLimit) {
    const Spread merix = SpreadOf(rounds.merix, &Measured::perSecond);
    const Spread cpu = SpreadOf(rounds.merix, &Measured::cpuMicros);
    const Spread port = SpreadOf(rounds.port, &Measured::perSecond);
    const Spread portCpu = SpreadOf(rounds.port, &Measured::cpuMicros);
    std::printf("| %-22s | %6u | %8.1f | %13s | %8.1f | %5.0f%% | %8.1f | %5.0f%% | %8.1f | %13s "
                "| %5.0f%% | %9.0f | ",
                what, baud, merix.median, RangeText(merix).c_str(), limit,
                100.0 * merix.median / limit, gapLimit, 100.0 * merix.median / gapLimit,
                port.median, RangeText(port).c_str(), 100.0 * port.median / gapLimit,
                portCpu.median);
    const Spread mb = SpreadOf(rounds.libmodbus, &Measured::perSecond);
    if (mb.median > 0) {
        std::printf("%11.1f | %13s | %9.0f |\n", mb.median, RangeText(mb).c_str(), cpu.median);
    } else {
        std::printf("%11s | %13s | %9.0f |\n", "-", "-", cpu.median);
    }
}

void PrintTransactionHeader(int seconds) {
    std::printf("\nTransactions per second against h51sim on a pseudo-terminal (8E1, paced at "
                "the line rate): the median of %d rounds of %d s,\nthe lowest and highest "
                "beside it\n",
                kRounds, seconds);
    std::printf("limit = request + reply + 2 x 3.5 character gaps on the wire; gap limit = "
                "request + reply + 3.5 characters\n+ the gap the driver is configured for (IFG, "
                "at least 1 ms); merix: the line switched by the driver, CPU includes its "
                "busy-wait\nline hold; port: switched by the port (RS-485 mode, run as if the "
                "pseudo-terminal had taken it), no busy-wait; CPU medians\n\n");
    std::printf(
        "| transaction            | baud   | merix/s  | low-high      | limit/s  | share  | "
        "gap lim  | share  | port/s   | low-high      | share  | port CPU  | libmodbus/s | "
        "low-high      | CPU us/tx |\n");
    std::printf("|------------------------|--------|----------|---------------|----------|--------|"
                "----------|--------|----------|---------------|--------|-----------|------------"
                "-|---------------|-----------|\n");
}

/// The rounds at `baud` of the three transactions, merix switching the line, the port switching
/// it, and libmodbus; `gap` is the driver's configured gap. False when the simulator or the
/// port is not available.
bool MeasureRounds(uint32_t baud, int seconds, Rounds& single, Rounds& block, Rounds& poll,
                   uint16_t& gap) {
    // The rounds take turns with libmodbus, so that the machine's other load, which moves
    // one round by many points, weighs on both alike.
    for (int round = 0; round < kRounds; ++round) {
        {
            Line line(baud);
            if (!line.ok()) {
                return false;
            }
            gap = line.gap();
            single.merix.push_back(Run(seconds, [&] { return line.Read(3, 0, 1); }));
            block.merix.push_back(Run(seconds, [&] { return line.Read(3, 0, 125); }));
            line.PollEvents(); // set-up
            poll.merix.push_back(Run(seconds, [&] { return line.PollEvents(); }));
        }
        {
            Line line(baud, nullptr, true);
            if (!line.ok()) {
                return false;
            }
            single.port.push_back(Run(seconds, [&] { return line.Read(3, 0, 1); }));
            block.port.push_back(Run(seconds, [&] { return line.Read(3, 0, 125); }));
            line.PollEvents(); // set-up
            poll.port.push_back(Run(seconds, [&] { return line.PollEvents(); }));
        }
        Line line(baud); // a fresh simulator for libmodbus
        line.ClosePort();
        single.libmodbus.push_back(Libmodbus(line.device(), baud, seconds, 1));
        block.libmodbus.push_back(Libmodbus(line.device(), baud, seconds, 125));
    }
    return true;
}

/// Events collected from a full buffer: blocks of 31 records.
void EventCollectionRate(int seconds) {
    Line line(9600);
    if (!line.ok()) {
        return;
    }
    line.PollEvents(); // set-up
    const int events = 3000;
    for (int i = 0; i < events; ++i) {
        line.sim().SetEvent(1, static_cast<uint16_t>(i % kEventGates), i % 2 == 0);
    }
    const double start = WallMicros();
    while (line.sim().BufferedEvents(1) != std::optional<size_t>(0) &&
           WallMicros() - start < seconds * 4e6) {
        line.PollEvents();
    }
    const double took = (WallMicros() - start) / 1e6;
    const size_t left = line.sim().BufferedEvents(1).value_or(0);
    const double perSecond = static_cast<double>(events - static_cast<int>(left)) / took;
    const double limit =
        kRecordsPerBlock *
        LineLimit(9600, 4,
                  static_cast<int>(kReplyOverhead + kEventRecordSize * kMaxRecordsPerBlock));
    std::printf("\nEvents collected at 9600 baud: %.1f events/s (limit of full blocks %.1f "
                "events/s, %.0f%%)\n",
                perSecond, limit, 100.0 * perSecond / limit);
}

void PrintTraceCostHeader(int seconds) {
    std::printf("\nLine trace: the same reads with the trace off and on (%d s each, three times, "
                "the median); CPU beyond "
                "the hold = CPU per\ntransaction less the busy-wait line hold, the part the "
                "trace adds to\n\n",
                seconds);
    std::printf(
        "| transaction            | baud   | off tx/s | on tx/s  | off CPU us | on CPU us | "
        "beyond hold off | on     | cost   |\n");
    std::printf("|------------------------|--------|----------|----------|------------|-----------|"
                "-----------------|--------|--------|\n");
}

/// Reads of `count` registers at `baud` with the trace off (m[0]) and on to `path` (m[1]): the
/// median of three rounds each, by the CPU beyond the hold. False when a line is not available.
bool MeasureTraceOffAndOn(uint32_t baud, int count, int seconds, const char* path,
                          Measured (&m)[2]) {
    // Off and on in turns, three times, and the median of each: the machine's other
    // load then weighs on both alike.
    std::vector<Measured> runs[2];
    for (int round = 0; round < 3; ++round) {
        for (int traced = 0; traced < 2; ++traced) {
            Line line(baud, traced != 0 ? path : nullptr);
            if (!line.ok()) {
                continue;
            }
            double hold = 0;
            Measured r = Run(seconds, [&] {
                const bool ok = line.Read(3, 0, count);
                hold += line.hold();
                return ok;
            });
            const double done = r.perSecond * seconds;
            r.holdMicros = done > 0 ? hold / done : 0;
            runs[traced].push_back(r);
        }
    }
    if (runs[0].empty() || runs[1].empty()) {
        return false;
    }
    for (int traced = 0; traced < 2; ++traced) {
        auto& r = runs[traced];
        std::sort(r.begin(), r.end(), [](const Measured& a, const Measured& b) {
            return a.cpuMicros - a.holdMicros < b.cpuMicros - b.holdMicros;
        });
        m[traced] = r[r.size() / 2];
    }
    return true;
}

/// The trace's own CPU time, free of the line's noise: the hooks of one attempt fed with
/// a request and its reply, as Send and Receive feed them, and written out to `path`.
/// `offBeyond` holds the CPU beyond the hold of the untraced reads, of 1 and of 125 registers.
void TraceHookCost(const char* path, const double (&offBeyond)[2]) {
    std::printf("\nThe trace's own CPU per attempt (hooks, formatting, writing), %d attempts:\n",
                kHookRounds);
    for (int count : {1, 125}) {
        DriverContext ctx{};
        int64_t frequency = 0;
        plat::QueryPerformanceFrequency(&frequency);
        ctx.perfFrequency = frequency;
        ctx.msecPerChar = 1.146f;
        StartLineTrace(ctx, path, kDefaultTraceMiB);
        uint8_t request[] = {1,    kReadHoldingRegisters,       0x00, 0x00,
                             0x00, static_cast<uint8_t>(count), 0,    0};
        const uint32_t replyLength = kReplyOverhead + 2 * static_cast<uint32_t>(count);
        ctx.rxBuf[0] = request[0];
        ctx.rxBuf[1] = request[1];
        ctx.rxBuf[2] = static_cast<uint8_t>(2 * count);
        const double start = ThreadCpuMicros();
        for (int i = 0; i < kHookRounds; ++i) {
            TraceSendBegins(ctx);
            TraceSent(ctx, request, true);
            TraceReceiveBegins(ctx);
            TraceReceiveStep(ctx, 2);
            TraceReceiveStep(ctx, 3);
            TraceReceiveStep(ctx, replyLength);
            TraceReceiveEnds(ctx, 0, TraceWhy::kNone);
            TraceAttemptEnds(ctx, TraceOutcome::kGood);
            TraceCommandEnds(ctx);
        }
        const double each = (ThreadCpuMicros() - start) / kHookRounds;
        StopLineTrace(ctx);
        const double beyond = offBeyond[count == 1 ? 0 : 1];
        std::printf("  %-18s %6.1f us, %.1f%% of the %.0f us beyond the hold at 57600 baud\n",
                    count == 1 ? "read 1 register" : "read 125 registers", each,
                    beyond > 0 ? 100.0 * each / beyond : 0.0, beyond);
    }
}

} // namespace

void TransactionSection(int seconds) {
    PrintTransactionHeader(seconds);
    for (uint32_t baud : {9600u, 38400u, 57600u}) {
        Rounds single;
        Rounds block;
        Rounds poll;
        uint16_t gap = 1;
        if (!MeasureRounds(baud, seconds, single, block, poll, gap)) {
            std::printf("| simulator or port not available at %u baud |\n", baud);
            continue;
        }
        Row("read 1 register", baud, single, LineLimit(baud, 8, 7), GapLimit(baud, 8, 7, gap));
        Row("read 125 registers", baud, block, LineLimit(baud, 8, 255),
            GapLimit(baud, 8, 255, gap));
        Row("event poll (empty)", baud, poll, LineLimit(baud, 4, 5), GapLimit(baud, 4, 5, gap));
    }
    EventCollectionRate(seconds);
}

void TraceCostSection(int seconds) {
    PrintTraceCostHeader(seconds);
    char path[] = "/tmp/merix_bench_trace_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        std::printf("| no scratch file for the trace |\n");
        return;
    }
    close(fd);
    double lastOffBeyond[2] = {0, 0}; // at the highest rate, where the rest costs least
    for (uint32_t baud : {9600u, 57600u}) {
        for (int count : {1, 125}) {
            Measured m[2];
            if (!MeasureTraceOffAndOn(baud, count, seconds, path, m)) {
                std::printf("| simulator, port or trace file not available at %u baud |\n", baud);
                continue;
            }
            const double offBeyond = m[0].cpuMicros - m[0].holdMicros;
            lastOffBeyond[count == 1 ? 0 : 1] = offBeyond;
            const double onBeyond = m[1].cpuMicros - m[1].holdMicros;
            std::printf("| %-22s | %6u | %8.1f | %8.1f | %10.0f | %9.0f | %15.0f | %6.0f | %5.1f%% "
                        "|\n",
                        count == 1 ? "read 1 register" : "read 125 registers", baud, m[0].perSecond,
                        m[1].perSecond, m[0].cpuMicros, m[1].cpuMicros, offBeyond, onBeyond,
                        offBeyond > 0 ? 100.0 * (onBeyond - offBeyond) / offBeyond : 0.0);
        }
    }
    TraceHookCost(path, lastOffBeyond);
    unlink(path);
    unlink((std::string(path) + ".1").c_str());
}

} // namespace merix::bench
