#include "serial/line_direction.h"

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

const char* LineDirectionText(LineDirection direction) {
    return direction == LineDirection::kPortSwitched ? "port (RS-485)" : "driver";
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

Hold DirectionSwitch::UntilSent(float holdTime, bool counter) const {
    if (direction_ == LineDirection::kDriverSwitched) {
        return BusyWait(ctx_, holdTime, counter);
    }
    // Without the wait the reply timeout would count the request's own time on the line.
    plat::WaitWritten(ctx_.hf);
    return Hold{};
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
