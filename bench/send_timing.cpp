// How late the lines switch back after the planned end of a frame, on a pseudo-terminal.
#include <atomic>
#include <thread>

#include "bench_report.h"
#include "pty_pair.h"
#include "serial/com_port.h"
#include "serial/function_table.h"
#include "serial/transmitter.h"

namespace merix::bench {

namespace {

struct Line {
    uint32_t baud; ///< for the character time; the host interface itself stops at 65535

    const char* name;
};

void MeasureLine(const Line& line, int frames) {
    test::PtyPair pty;
    DriverContext ctx{};
    plat::Handle h = 0;
    if (!pty.ok() || ComOpen(pty.name().c_str(), PortSettings{9600, 8, 0, 2}, 0, &h) != 0) {
        std::printf("| %-8s | no pseudo-terminal |\n", line.name);
        return;
    }
    ctx.hf = h;
    ctx.SendMask = 0x0101;
    ctx.RecMask = 0;
    ctx.msecPerChar = static_cast<float>(11.0 / line.baud * 1000.0); // 8E1
    ctx.fDelay = 0.0f;
    ctx.IFG = 0; // the gap is a sleep; this measures the hold alone
    ctx.perfFrequency = 1'000'000'000;

    std::atomic<bool> stop{false};
    std::thread drain([&] {
        while (!stop) {
            pty.Read(512, 20);
        }
    });
    std::vector<double> overshoot;
    const double cpuStart = ThreadCpuMicros();
    for (int i = 0; i < frames; ++i) {
        const uint8_t request[] = {1, kReadHoldingRegisters, 0x00, 0x64, 0x00, 0x01};
        std::copy(std::begin(request), std::end(request), ctx.txBuf);
        SendRequest(ctx, ctx.txBuf, 6);
        overshoot.push_back((ctx.pracDelay - ctx.calcDelay) * 1000.0);
    }
    const double cpuPerFrame = (ThreadCpuMicros() - cpuStart) / frames;
    stop = true;
    drain.join();
    ComClose(h);
    std::printf("| %-8s | %8.3f | %9.1f | %9.1f | %13.1f |\n", line.name,
                static_cast<double>(ctx.calcDelay), Percentile(overshoot, 0.5),
                Percentile(overshoot, 0.99), cpuPerFrame);
}

} // namespace

void SendTimingSection(int frames) {
    std::printf(
        "\nLine turnaround: lines switched back after the planned end of an 8-byte frame\n");
    std::printf(
        "(%d frames each, busy-wait on the monotonic counter, pseudo-terminal;\n"
        " 115200 is timed by its character time: the host's u16 baud field cannot carry it)\n\n",
        frames);
    std::printf("| baud     | hold ms  | late p50 us | late p99 us | CPU us/frame |\n");
    std::printf("|----------|----------|-----------|-----------|---------------|\n");
    MeasureLine({9600, "9600"}, frames);
    MeasureLine({115200, "115200"}, frames);
}

} // namespace merix::bench
