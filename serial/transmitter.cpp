#include "serial/transmitter.h"

#include <cmath>

#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/crc16.h"
#include "serial/line_trace.h"
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "services/time_critical.h"
#include "services/timers.h"

namespace merix {

namespace {

double TicksToMs(int64_t ticks, int64_t frequency) {
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency);
}

/// The EscapeCommFunction codes that put DTR and RTS into the send and the receive states.
struct LineSwitches {
    int sendDtr;
    int sendRts;
    int recDtr;
    int recRts;

    explicit LineSwitches(const DriverContext& ctx)
        : sendDtr(Dtr(ctx.SendMask)), sendRts(Rts(ctx.SendMask)), recDtr(Dtr(ctx.RecMask)),
          recRts(Rts(ctx.RecMask)) {}

    /// RTS is switched only where its two states differ.
    void ToSend(plat::Handle hf) const {
        if (sendRts != recRts) {
            plat::EscapeCommFunction(hf, sendRts);
        }
        plat::EscapeCommFunction(hf, sendDtr);
    }
    void ToReceive(plat::Handle hf) const {
        plat::EscapeCommFunction(hf, recDtr);
        if (sendRts != recRts) {
            plat::EscapeCommFunction(hf, recRts);
        }
    }

private:
    static int Dtr(uint32_t mask) { return (mask & kLineDtr) != 0 ? plat::kSetDtr : plat::kClrDtr; }
    static int Rts(uint32_t mask) { return (mask & kLineRts) != 0 ? plat::kSetRts : plat::kClrRts; }
};

/// Appends the CRC to the `length` frame bytes; answers the frame's length with it.
uint32_t AppendCrc(std::span<uint8_t> buffer, int length) {
    const uint16_t crc = Crc16(buffer.data(), length);
    buffer[static_cast<std::size_t>(length)] = static_cast<uint8_t>(crc & 0xFF);
    buffer[static_cast<std::size_t>(length) + 1] = static_cast<uint8_t>(crc >> 8);
    return static_cast<uint32_t>(length + 2);
}

/// Where the hold was planned to end, if it was, and the counter reads it took.
struct Hold {
    int64_t plannedEnd = 0;
    bool planned = false;
    int iIndex = 0; // counted while debugging only
};

/// The lines must stay in transmit state until the last character has left the UART: a
/// sleep is far too coarse for that, so the end is found by a busy-wait on the counter.
Hold HoldLines(const DriverContext& ctx, float holdTime, bool counter) {
    Hold hold;
    if (holdTime >= 0.0f && counter) {
        int64_t t1 = 0;
        bool counting = plat::QueryPerformanceCounter(&t1);
        hold.plannedEnd = t1 + static_cast<int64_t>(static_cast<double>(ctx.perfFrequency) *
                                                    static_cast<double>(holdTime) * 0.001);
        hold.planned = counting;
        // A counter that fails would never pass the mark: the hold ends with it.
        int64_t now = 0;
        while (counting) {
            counting = plat::QueryPerformanceCounter(&now);
            if (ctx.debugFlag != 0) {
                ++hold.iIndex;
            }
            if (now >= hold.plannedEnd) {
                break;
            }
        }
    } else if (ctx.debugFlag != 0) {
        Log(kLogDetail, "MERIX> No Delay for DTR signal");
    }
    return hold;
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

int Send(DriverContext& ctx, std::span<uint8_t> buffer, int length) {
    if (length < 0 || static_cast<std::size_t>(length) + 2 > buffer.size()) {
        return 1;
    }
    TraceSendBegins(ctx);
    if (ctx.IFG != 0) {
        WaitIFG(ctx);
    }
    const uint32_t n = AppendCrc(buffer, length);
    ComPurge(ctx.hf);

    const LineSwitches lines(ctx);
    lines.ToSend(ctx.hf);
    const float holdTime = static_cast<float>(n) * ctx.msecPerChar + ctx.fDelay;

    TimeCriticalSection timeCritical("Send");
    const bool counter = ctx.perfFrequency > 0;
    int64_t t0 = 0;
    if (counter) {
        plat::QueryPerformanceCounter(&t0);
    }
    uint32_t written = 0;
    const int writeResult = ComWrite(ctx.hf, buffer.data(), n, &written);
    const uint32_t writeError = writeResult == kComFailed ? plat::LastError() : 0;
    const Hold hold = HoldLines(ctx, holdTime, counter);
    lines.ToReceive(ctx.hf);
    if (counter) {
        RecordDelays(ctx, t0, hold);
    }
    timeCritical.Restore();

    if (ctx.debugFlag != 0) {
        Log(kLogDetail,
            "MERIX> Send() Delay : Calc. %.3f, Prac. %.3f, fDelay = %.3f, iIndex = %d, "
            "iPriority = %d",
            static_cast<double>(ctx.calcDelay), static_cast<double>(ctx.pracDelay),
            static_cast<double>(holdTime), hold.iIndex, timeCritical.SavedPriority());
    }
    const bool sent = writeResult == kComOk && written == n;
    TraceSent(ctx, buffer.first(n), sent);
    if (!sent) {
        if (writeResult == kComFailed) {
            Log(kLogDetail, "MERIX> Send() WriteFile failed, system error %u", writeError);
        } else {
            // The write timeout ran out (a port that stopped taking bytes), or a short write.
            Log(kLogDetail, "MERIX> Send() WriteFile wrote %u of %u bytes", written, n);
        }
        Log(kLogDetail, "MERIX> Send(), RukComWrite() returned %d", 1);
        return 1;
    }
    return 0;
}

} // namespace merix
