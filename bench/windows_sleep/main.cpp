// merix_bench_windows_sleep: the inter-frame gap and the retry pause on a model of Windows'
// Sleep (the fake platform's: a 15.625 ms tick, 1 ms while a timer period is raised), with
// the port open (the driver holds the 1 ms period) and without a port (nothing holds it, as
// it was when only each frame's hold raised the period). Figures from simulated time: they
// are the same on every machine.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/qorlib_control.h"
#include "merix/vpi.h"
#include "platform/fake_platform.h"
#include "serial/transmitter.h"

namespace {

constexpr uint64_t kTickUs = 15'625;
constexpr uint64_t kStepUs = 10;

struct Figures {
    double min, median, p99, max;
};

Figures Summarise(std::vector<uint64_t> us) {
    std::sort(us.begin(), us.end());
    const auto at = [&](double p) {
        return static_cast<double>(
                   us[static_cast<size_t>(p * static_cast<double>(us.size() - 1))]) /
               1000.0;
    };
    return {at(0.0), at(0.5), at(0.99), at(1.0)};
}

/// ColdStart at 9600 8E1, with COM1 opened or not; the context's gap is set to `gapMs`.
void Start(merix::DriverContext& ctx, bool open) {
    merix::fake::Reset();
    merix::fake::SetWindowsSleep(true);
    qorlib::Reset();
    merix::StartParams sp{};
    std::snprintf(sp.portName, sizeof sp.portName, "COM1");
    sp.comOn = open ? 1 : 0;
    sp.replyTimeout = 20;
    sp.baud = 9600;
    sp.dataBits = 8;
    sp.parity = 2;
    merix::CallBlock cb{&ctx, merix::kColdStart, 1, 0, &sp};
    VpiMain(&cb);
}

/// The wait from every start within one tick, kStepUs apart: the gap when `pauseMs` is 0,
/// else the retry pause.
Figures Measure(merix::DriverContext& ctx, uint16_t gapMs, uint16_t pauseMs) {
    std::vector<uint64_t> took;
    ctx.IFG = gapMs;
    for (uint64_t phase = 0; phase < kTickUs; phase += kStepUs) {
        const uint64_t now = merix::fake::ClockMicros();
        merix::fake::AdvanceMicros((now / kTickUs + 1) * kTickUs + phase - now);
        merix::fake::ClearCalls(); // the record would grow for every Sleep
        const uint64_t start = merix::fake::ClockMicros();
        if (pauseMs == 0) {
            merix::WaitIFG(ctx);
        } else {
            merix::WaitGap(ctx, pauseMs);
        }
        took.push_back(merix::fake::ClockMicros() - start);
    }
    return Summarise(took);
}

void Row(const char* what, const char* period, const Figures& f) {
    std::printf("| %-18s | %-22s | %6.2f | %6.2f | %6.2f | %6.2f |\n", what, period, f.min,
                f.median, f.p99, f.max);
}

} // namespace

int main() {
    std::printf("Gap and retry pause on the Windows Sleep model (ms, %llu starts across one "
                "15.625 ms tick)\n\n",
                static_cast<unsigned long long>(kTickUs / kStepUs + 1));
    std::printf(
        "| wait               | timer period           |    min | median |    p99 |    max |\n");
    std::printf(
        "|--------------------|------------------------|--------|--------|--------|--------|\n");
    merix::DriverContext ctx{};
    for (const bool open : {true, false}) {
        Start(ctx, open);
        const char* period = open ? "1 ms (port open)" : "15.625 ms (default)";
        for (const uint16_t gap : {uint16_t{1}, uint16_t{2}, uint16_t{4}}) {
            char what[32];
            std::snprintf(what, sizeof what, "gap %u ms", static_cast<unsigned>(gap));
            Row(what, period, Measure(ctx, gap, 0));
        }
        Row("retry pause 50 ms", period, Measure(ctx, 4, merix::kRetryGapMs));
    }
    return 0;
}
