#include "serial/transmitter.h"

#include <cmath>
#include <optional>

#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/crc16.h"
#include "serial/line_direction.h"
#include "serial/line_errors.h"
#include "serial/line_trace.h"
#include "serial/network_link.h"
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "services/time_critical.h"
#include "services/timers.h"

namespace merix {

namespace {

double TicksToMs(int64_t ticks, int64_t frequency) {
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency);
}

/// calcDelay and pracDelay: the planned and the measured hold, from the write's start. The
/// lines were switched back to receive just before: the reply's turnaround counts from here.
void RecordDelays(DriverContext& ctx, int64_t t0, const Hold& hold) {
    int64_t t2 = 0;
    plat::QueryPerformanceCounter(&t2);
    NoteReceiveSwitch(ctx, t2);
    ctx.pracDelay = static_cast<float>(TicksToMs(t2 - t0, ctx.perfFrequency));
    // Without a planned end (negative hold) the plan was to switch back at once.
    ctx.calcDelay = hold.planned
                        ? static_cast<float>(TicksToMs(hold.plannedEnd - t0, ctx.perfFrequency))
                        : 0.0f;
}

/// How the write of a frame went, as the calls reported it.
struct WriteOutcome {
    int result = kComOk;
    uint32_t written = 0;
    uint32_t error = 0; ///< the system's code of a failed write, or of a drain that ran out
    bool left = true;   ///< false: the frame did not leave the port within the write timeout
};

/// True when the whole frame of `n` bytes was written and left the port; otherwise logs why not.
bool FrameSent(const WriteOutcome& w, uint32_t n) {
    if (w.result == kComOk && w.written == n && w.left) {
        return true;
    }
    if (w.result == kComFailed) {
        Log(kLogDetail, "MERIX> Send() WriteFile failed, system error %u", w.error);
    } else if (w.written != n) {
        // The write timeout ran out (a port that stopped taking bytes), or a short write.
        Log(kLogDetail, "MERIX> Send() WriteFile wrote %u of %u bytes", w.written, n);
    } else {
        Log(kLogDetail,
            "MERIX> Send() the request did not leave the port within its write timeout, system "
            "error %u",
            w.error);
    }
    Log(kLogDetail, "MERIX> Send(), RukComWrite() returned %d", 1);
    return false;
}

} // namespace

void WaitIFG(DriverContext& ctx) {
    double start = 0.0;
    TimerStart(start);
    for (;;) {
        plat::Sleep(ctx.IFG);
        // Wide enough for any gap: a 16-bit count would wrap for gaps near 65.5 s and then
        // hardly ever reach the gap.
        const auto elapsed = static_cast<int64_t>(TimerElapsed(start) * 1001);
        if (elapsed >= ctx.IFG) {
            return;
        }
        if (ctx.debugFlag != 0) {
            Log(kLogDetail, "MERIX> IFG continue (%dms < %dms)", static_cast<int>(elapsed),
                ctx.IFG);
        }
    }
}

void WaitGap(DriverContext& ctx, uint16_t gapMs) {
    const uint16_t saved = ctx.IFG;
    ctx.IFG = gapMs;
    WaitIFG(ctx);
    ctx.IFG = saved;
}

std::span<const uint8_t> AppendCrc(std::span<uint8_t> buffer, int length) {
    if (length < 0 || static_cast<std::size_t>(length) + 2 > buffer.size()) {
        return {};
    }
    const uint16_t crc = Crc16(buffer.data(), length);
    buffer[static_cast<std::size_t>(length)] = static_cast<uint8_t>(crc & 0xFF);
    buffer[static_cast<std::size_t>(length) + 1] = static_cast<uint8_t>(crc >> 8);
    return buffer.first(static_cast<std::size_t>(length) + 2);
}

bool MakeLineReady(DriverContext& ctx, std::span<const uint8_t> frame) {
    TraceSendBegins(ctx);
    if (!NetworkLinkUp(ctx)) {
        Log(kLogDetail, "MERIX> Send() the line is not connected, request not sent");
        TraceSent(ctx, frame, false);
        return false;
    }
    if (ctx.IFG != 0) {
        WaitIFG(ctx);
    }
    // After the gap: bytes that arrive during it are a late reply's, not the next one's.
    PurgeStaleInput(ctx);
    return true;
}

int Send(DriverContext& ctx, std::span<const uint8_t> frame) {
    const auto n = static_cast<uint32_t>(frame.size());
    const DirectionSwitch direction(ctx);
    direction.ToSend();
    const float holdTime = static_cast<float>(n) * ctx.msecPerChar + ctx.fDelay;

    std::optional<TimeCriticalSection> timeCritical;
    if (direction.TimeCritical()) {
        timeCritical.emplace("Send");
    }
    WriteStart start;
    start.counter = ctx.perfFrequency > 0;
    if (start.counter) {
        plat::QueryPerformanceCounter(&start.ticks);
    }
    start.ms = plat::ClockMs();
    WriteOutcome w;
    w.result = ComWrite(ctx.hf, frame.data(), n, &w.written);
    w.error = w.result == kComFailed ? plat::LastError() : 0;
    const Hold hold = direction.UntilSent(holdTime, n, start);
    w.left = hold.left;
    if (!w.left && w.result != kComFailed) {
        w.error = plat::LastError(); // the drain's; a failed write keeps its own
    }
    direction.ToReceive();
    if (start.counter) {
        RecordDelays(ctx, start.ticks, hold);
    }
    if (timeCritical) {
        timeCritical->Restore();
    }

    if (ctx.debugFlag != 0) {
        Log(kLogDetail,
            "MERIX> Send() Delay : Calc. %.3f, Prac. %.3f, fDelay = %.3f, iIndex = %d, "
            "iPriority = %d",
            static_cast<double>(ctx.calcDelay), static_cast<double>(ctx.pracDelay),
            static_cast<double>(holdTime), hold.iIndex,
            timeCritical ? timeCritical->SavedPriority() : plat::GetThreadPriority());
    }
    const bool sent = FrameSent(w, n);
    TraceSent(ctx, frame, sent);
    return sent ? 0 : 1;
}

int SendRequest(DriverContext& ctx, std::span<uint8_t> buffer, int length) {
    const std::span<const uint8_t> frame = AppendCrc(buffer, length);
    if (frame.empty()) {
        return 1;
    }
    if (!MakeLineReady(ctx, frame)) {
        return 1;
    }
    return Send(ctx, frame);
}

} // namespace merix
