#include "serial/transmitter.h"

#include <cmath>

#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/crc16.h"
#include "serial/line_trace.h"
#include "services/host_log.h"
#include "services/timers.h"

namespace merix {

namespace {

int SwitchCode(uint32_t mask, uint32_t bits, int set, int clear) {
    return (mask & bits) != 0 ? set : clear;
}

double TicksToMs(int64_t ticks, int64_t frequency) {
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency);
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
    TraceSendBegins(ctx, buffer.first(static_cast<std::size_t>(length)));
    if (ctx.IFG != 0) {
        WaitIFG(ctx);
    }
    const uint16_t crc = Crc16(buffer.data(), length);
    buffer[static_cast<std::size_t>(length)] = static_cast<uint8_t>(crc & 0xFF);
    buffer[static_cast<std::size_t>(length) + 1] = static_cast<uint8_t>(crc >> 8);
    const auto n = static_cast<uint32_t>(length + 2);

    ComPurge(ctx.hf);

    const int sendDtr = SwitchCode(ctx.SendMask, 0x0101, plat::kSetDtr, plat::kClrDtr);
    const int sendRts = SwitchCode(ctx.SendMask, 0x0202, plat::kSetRts, plat::kClrRts);
    const int recDtr = SwitchCode(ctx.RecMask, 0x0101, plat::kSetDtr, plat::kClrDtr);
    const int recRts = SwitchCode(ctx.RecMask, 0x0202, plat::kSetRts, plat::kClrRts);

    if (sendRts != recRts) {
        plat::EscapeCommFunction(ctx.hf, sendRts);
    }
    plat::EscapeCommFunction(ctx.hf, sendDtr);

    const float holdTime = static_cast<float>(n) * ctx.msecPerChar + ctx.fDelay;

    const int savedPriority = plat::GetThreadPriority();
    plat::TimeBeginPeriod(1);
    const int rc = plat::SetThreadPriority(plat::kThreadPriorityTimeCritical);
    if (rc != 1) {
        Log(kLogDetail, "MERIX> Send() ERROR setting priority, rc %d", rc);
    }

    const bool counter = ctx.perfFrequency > 0;
    int64_t t0 = 0;
    if (counter) {
        plat::QueryPerformanceCounter(&t0);
    }
    uint32_t written = 0;
    const int writeResult = ComWrite(ctx.hf, buffer.data(), n, &written);

    int64_t plannedEnd = 0;
    bool planned = false;
    int iIndex = 0;
    // The lines must stay in transmit state until the last character has left the UART:
    // a sleep is far too coarse for that, so the end is found by a busy-wait.
    if (holdTime >= 0.0f && counter) {
        int64_t t1 = 0;
        bool counting = plat::QueryPerformanceCounter(&t1);
        plannedEnd = t1 + static_cast<int64_t>(static_cast<double>(ctx.perfFrequency) *
                                               static_cast<double>(holdTime) * 0.001);
        planned = counting;
        // A counter that fails would never pass the mark: the hold ends with it.
        int64_t now = 0;
        while (counting) {
            counting = plat::QueryPerformanceCounter(&now);
            if (ctx.debugFlag != 0) {
                ++iIndex;
            }
            if (now >= plannedEnd) {
                break;
            }
        }
    } else if (ctx.debugFlag != 0) {
        Log(kLogDetail, "MERIX> No Delay for DTR signal");
    }

    plat::EscapeCommFunction(ctx.hf, recDtr);
    if (sendRts != recRts) {
        plat::EscapeCommFunction(ctx.hf, recRts);
    }

    if (counter) {
        int64_t t2 = 0;
        plat::QueryPerformanceCounter(&t2);
        ctx.pracDelay = static_cast<float>(TicksToMs(t2 - t0, ctx.perfFrequency));
        // Without a planned end (negative hold) the plan was to switch back at once.
        ctx.calcDelay =
            planned ? static_cast<float>(TicksToMs(plannedEnd - t0, ctx.perfFrequency)) : 0.0f;
    }

    if (plat::SetThreadPriority(savedPriority) != 1) {
        Log(kLogDetail, "MERIX> Send() ERROR !!! RESETTING PRIORITY !!");
    }
    plat::TimeEndPeriod(1);

    if (ctx.debugFlag != 0) {
        Log(kLogDetail,
            "MERIX> Send() Delay : Calc. %.3f, Prac. %.3f, fDelay = %.3f, iIndex = %d, "
            "iPriority = %d",
            static_cast<double>(ctx.calcDelay), static_cast<double>(ctx.pracDelay),
            static_cast<double>(holdTime), iIndex, savedPriority);
    }
    const bool sent = writeResult == kComOk && written == n;
    TraceSent(ctx, buffer.first(n), sent);
    if (!sent) {
        Log(kLogDetail, "MERIX> Send(), RukComWrite() returned %d", 1);
        return 1;
    }
    return 0;
}

} // namespace merix
