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

/// DTR and RTS, switched by the driver and held by a busy-wait. RTS is switched only where
/// its two states differ.
class DriverTurn final : public LineTurn {
public:
    void ToSend(const DriverContext& ctx) const override {
        if (Rts(ctx.SendMask) != Rts(ctx.RecMask)) {
            plat::EscapeCommFunction(ctx.hf, Rts(ctx.SendMask));
        }
        plat::EscapeCommFunction(ctx.hf, Dtr(ctx.SendMask));
    }
    Hold UntilSent(const DriverContext& ctx, float holdTime, uint32_t,
                   const WriteStart& start) const override {
        return BusyWait(ctx, holdTime, start.counter);
    }
    void ToReceive(const DriverContext& ctx) const override {
        plat::EscapeCommFunction(ctx.hf, Dtr(ctx.RecMask));
        if (Rts(ctx.SendMask) != Rts(ctx.RecMask)) {
            plat::EscapeCommFunction(ctx.hf, Rts(ctx.RecMask));
        }
    }
    bool TimeCritical() const override { return true; }
    const char* Text() const override { return "driver"; }
};

/// Without the wait the gap before the next request, the reply timeout and the turnaround
/// would count from a point inside the request: after a broadcast, the next request would
/// queue right behind it, and the stations would see one frame with a bad CRC.
/// The write call returns once the bytes are queued, which may be well after the mark taken
/// before it (a preempted thread, a busy USB bus): the frame cannot have left before the call
/// returned, so its end is planned from the later of the two.
Hold WaitUntilLeft(const DriverContext& ctx, uint32_t frameBytes, const WriteStart& start) {
    WriteStart returned = start;
    returned.ms = std::max(start.ms, plat::ClockMs());
    if (int64_t now = 0; start.counter && plat::QueryPerformanceCounter(&now)) {
        returned.ticks = std::max(start.ticks, now);
    }
    const bool drained = plat::WaitWritten(ctx.hf);
    Hold hold = SleepUntilFrameEnd(ctx, frameBytes, returned);
    hold.left = drained;
    return hold;
}

/// A port in RS-485 mode raises RTS itself for the bytes on the wire: the driver only waits,
/// asleep, until the request has left.
class PortTurn : public LineTurn {
public:
    void ToSend(const DriverContext&) const override {}
    Hold UntilSent(const DriverContext& ctx, float, uint32_t frameBytes,
                   const WriteStart& start) const override {
        return WaitUntilLeft(ctx, frameBytes, start);
    }
    void ToReceive(const DriverContext&) const override {}
    bool TimeCritical() const override { return false; }
    const char* Text() const override { return "port (RS-485)"; }
    bool MayIgnoreItsMode() const override { return true; }
};

/// A device server's port turns the line around at the far end of the network.
class ServerTurn final : public PortTurn {
public:
    const char* Text() const override { return "device server"; }
    bool MayIgnoreItsMode() const override { return false; }
    bool OnTheNetwork() const override { return true; }
};

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
    if (room == nullptr || !LineTurnOf(room->direction).MayIgnoreItsMode() ||
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
    return LineTurnOf(direction).Text();
}

const LineTurn& LineTurnOf(LineDirection direction) {
    static constexpr DriverTurn kDriver;
    static constexpr PortTurn kPort;
    static constexpr ServerTurn kServer;
    switch (direction) {
    case LineDirection::kPortSwitched:
        return kPort;
    case LineDirection::kServerSwitched:
        return kServer;
    case LineDirection::kDriverSwitched:
        break;
    }
    return kDriver;
}

} // namespace merix
