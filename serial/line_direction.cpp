#include "serial/line_direction.h"

#include <algorithm>
#include <cmath>

#include "platform/platform.h"
#include "serial/com_port.h"
#include "services/host_log.h"
#include "services/instance_room.h"

namespace merix {

namespace {

int Dtr(uint32_t mask) {
    return (mask & kLineDtr) != 0 ? plat::kSetDtr : plat::kClrDtr;
}
int Rts(uint32_t mask) {
    return (mask & kLineRts) != 0 ? plat::kSetRts : plat::kClrRts;
}

/// The lines must stay in transmit state until the last character has left the UART: a
/// sleep is far too coarse for that, so the end is found by a busy-wait on the counter.
Hold BusyWait(const DriverContext& ctx, float holdTime, bool counter) {
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

// What a frame's end is counted past its bytes' line time: WriteFile returns once the bytes
// are in the FIFO or a USB adapter's buffer, and nothing on Windows tells when the last bit
// has gone.
constexpr double kShiftRegisterChars = 1.0; ///< the UART's shift register still to empty
constexpr double kAdapterTransferMs = 1.0;  ///< a USB adapter's transfer of the last packet

/// The frame's line time from the write's start, and the margins above. Slept, not
/// busy-waited: nothing is switched at its end.
Hold SleepUntilFrameEnd(const DriverContext& ctx, uint32_t frameBytes, const WriteStart& start) {
    const double frameMs =
        (frameBytes + kShiftRegisterChars) * static_cast<double>(ctx.msecPerChar) +
        kAdapterTransferMs;
    Hold hold;
    if (start.counter) {
        hold.plannedEnd =
            start.ticks +
            static_cast<int64_t>(static_cast<double>(ctx.perfFrequency) * frameMs * 0.001);
        hold.planned = true;
        int64_t now = 0;
        while (plat::QueryPerformanceCounter(&now) && now < hold.plannedEnd) {
            const double leftMs = static_cast<double>(hold.plannedEnd - now) * 1000.0 /
                                  static_cast<double>(ctx.perfFrequency);
            plat::Sleep(static_cast<uint32_t>(std::ceil(leftMs)));
        }
        return hold;
    }
    const uint64_t end = start.ms + static_cast<uint64_t>(std::ceil(frameMs));
    for (uint64_t now = plat::ClockMs(); now < end; now = plat::ClockMs()) {
        plat::Sleep(static_cast<uint32_t>(end - now));
    }
    return hold;
}

} // namespace

LineDirection LineDirectionOf(const DriverContext& ctx) {
    const InstanceRoom* room = FindInstanceRoom(ctx);
    return room != nullptr ? room->direction : LineDirection::kDriverSwitched;
}

void SetLineDirection(const DriverContext& ctx, LineDirection direction) {
    if (InstanceRoom* room = FindInstanceRoom(ctx)) {
        room->direction = direction;
    }
}

void NoteTransactionHeard(const DriverContext& ctx, bool heard) {
    InstanceRoom* room = FindInstanceRoom(ctx);
    if (room == nullptr || room->direction != LineDirection::kPortSwitched ||
        room->silentSinceOpen == kHeard) {
        return;
    }
    if (heard) {
        room->silentSinceOpen = kHeard;
        return;
    }
    if (++room->silentSinceOpen == kSilentHintAfter) {
        const std::string_view port = LinePortName(ctx);
        Log(kLogError,
            "MERIX> RS485: no station has answered %.*s in %u transactions since the open; if its "
            "driver ignores %s, set RS485 = OFF",
            static_cast<int>(port.size()), port.data(), kSilentHintAfter, kRs485ModeName);
    }
}

const char* LineDirectionText(LineDirection direction) {
    switch (direction) {
    case LineDirection::kPortSwitched:
        return "port (RS-485)";
    case LineDirection::kServerSwitched:
        return "device server";
    default:
        return "driver";
    }
}

DirectionSwitch::DirectionSwitch(const DriverContext& ctx)
    : ctx_(ctx), direction_(LineDirectionOf(ctx)), sendDtr_(Dtr(ctx.SendMask)),
      sendRts_(Rts(ctx.SendMask)), recDtr_(Dtr(ctx.RecMask)), recRts_(Rts(ctx.RecMask)) {}

// RTS is switched only where its two states differ.
void DirectionSwitch::ToSend() const {
    if (direction_ != LineDirection::kDriverSwitched) {
        return;
    }
    if (sendRts_ != recRts_) {
        plat::EscapeCommFunction(ctx_.hf, sendRts_);
    }
    plat::EscapeCommFunction(ctx_.hf, sendDtr_);
}

Hold DirectionSwitch::UntilSent(float holdTime, uint32_t frameBytes,
                                const WriteStart& start) const {
    if (direction_ == LineDirection::kDriverSwitched) {
        return BusyWait(ctx_, holdTime, start.counter);
    }
    // Without the wait the gap before the next request, the reply timeout and the turnaround
    // would count from a point inside the request: after a broadcast, the next request would
    // queue right behind it, and the stations would see one frame with a bad CRC.
    // The write call returns once the bytes are queued, which may be well after the mark
    // taken before it (a preempted thread, a busy USB bus): the frame cannot have left before
    // the call returned, so its end is planned from the later of the two.
    WriteStart returned = start;
    returned.ms = std::max(start.ms, plat::ClockMs());
    if (int64_t now = 0; start.counter && plat::QueryPerformanceCounter(&now)) {
        returned.ticks = std::max(start.ticks, now);
    }
    const bool drained = plat::WaitWritten(ctx_.hf);
    Hold hold = SleepUntilFrameEnd(ctx_, frameBytes, returned);
    hold.left = drained;
    return hold;
}

void DirectionSwitch::ToReceive() const {
    if (direction_ != LineDirection::kDriverSwitched) {
        return;
    }
    plat::EscapeCommFunction(ctx_.hf, recDtr_);
    if (sendRts_ != recRts_) {
        plat::EscapeCommFunction(ctx_.hf, recRts_);
    }
}

} // namespace merix
