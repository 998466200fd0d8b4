// The commands that recover a station and close, reopen, reconfigure and end an instance.
#include <cstring>

#include "driver/commands.h"
#include "driver/library_state.h"
#include "driver/port_lifecycle.h"
#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/line_trace.h"
#include "services/host_log.h"
#include "services/instance_room.h"
#include "services/run_time_error.h"
#include "transactions/write_journal.h"

namespace merix {

int32_t WarmStart(CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    const uint32_t s = static_cast<const StationArg*>(cb->params)->station;
    if (s >= static_cast<uint32_t>(kStationCount)) {
        Log(kLogDetail, "MERIX> WarmStart() PLC-nr. %u has no station entry, nothing done", s);
        return kResultOk;
    }
    switch (ctx.plcState[s]) {
    case kCommunicating:
        Log(kLogDetail, "MERIX> WarmStart() PLC-nr. %d was not in error", static_cast<int>(s));
        return kResultOk;
    case kInError:
        Log(kLogDetail, "MERIX> WarmStart() PLC-nr. %d recovering from error communication",
            static_cast<int>(s));
        ctx.plcState[s] = kCommunicating;
        ctx.fEF[s] = 1; // the event facility is set up again before the next poll
        return kResultOk;
    case kSwitchedOff:
        Log(kLogDetail, "MERIX> WarmStart() PLC-nr. %d manually disabled", static_cast<int>(s));
        return kResultFailed;
    default:
        return kResultOk;
    }
}

namespace {

void ReleaseForEndVpi(InstanceRoom& room) {
    ReleaseHeldPort(room, "EndVpi");
}

/// Closes `hf` for ReOpenCom to open again; a handle that would not close is given up all the
/// same.
void GiveUpPort(DriverContext& ctx) {
    if (ComClose(ctx.hf) != kComOk) {
        Log(kLogDetail, "MERIX> ReOpenCom() closing hf=%d failed, system error %u", ctx.hf,
            plat::LastError());
    }
    ctx.hf = 0;
    ReleaseTimerPeriod();
    RecordPort(ctx, 0, false);
}

/// A device server's port kept unconnected by a failed open connects again by itself: the
/// instance's requests must go on reaching it.
void KeepComOnForReconnect(DriverContext& ctx) {
    if (ctx.hf != 0 && PortOfContext(ctx)) {
        ctx.comOn = 1;
    }
}

} // namespace

int32_t CloseCom(CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    DisownForeignPort(ctx, cb->driverNumber, "CloseCom");
    if (ctx.hf != 0) {
        if (!ClosePort(ctx.hf)) {
            return kResultFailed;
        }
        ctx.hf = 0;
        ctx.comOn = 0;
        ReleaseTimerPeriod();
        RecordPort(ctx, 0, false);
    }
    Log(kLogDetail, "MERIX> CloseCom(), Exit (no error)");
    return kResultOk;
}

int32_t EndVpi(CallBlock* cb) {
    Library().stopFlag = 1;
    int32_t r = kResultOk;
    if (cb->context != nullptr) {
        r = CloseCom(cb) & 0xFFFF;
        if (cb->context->hf != 0) {
            // The port would not close: nothing will close it now, so its timer period goes.
            ReleaseTimerPeriod();
            RecordPort(*cb->context, 0, false);
        }
    }
    // No command of any instance runs from now on: every port and period they hold goes too.
    ForEachInstanceRoom(ReleaseForEndVpi);
    StopAllLineTraces();
    StopAllWriteJournals();
    plat::StopNetwork();
    Log(kLogDetail, "MERIX> EndVpi() exited, %d", r);
    return r;
}

int32_t ReOpenCom(CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    DisownForeignPort(ctx, cb->driverNumber, "ReOpenCom");
    if (ctx.hf != 0 && plat::KindOfPort(ctx.hf) != plat::PortKind::kDevice) {
        // A device server's port, live or lost, is connected anew: a second connection beside
        // it would stay open for good, and a server that takes one master refuses it.
        Log(kLogDetail, "MERIX> ReOpenCom() hf=%d is a device server's port: connecting again",
            ctx.hf);
        GiveUpPort(ctx);
    } else if (ctx.hf != 0 && ComGone(ctx.hf)) {
        // An unplugged adapter: Windows does not remove a device while a handle to it is
        // open, so a kept handle would stop the adapter from coming back as this port. A
        // live port is left as it is.
        Log(kLogDetail, "MERIX> ReOpenCom() port of hf=%d is gone, system error %u: closing it",
            ctx.hf, plat::LastError());
        GiveUpPort(ctx);
    }
    const uint32_t handle = OpenSavedPort(ctx);
    if (handle == 0) {
        KeepComOnForReconnect(ctx);
        RunTimeError(kAreaPort, kPlaceReOpen, 0);
        return kResultFailed;
    }
    ctx.comOn = 1;
    Log(kLogDetail, "MERIX> ReOpenCom(), com ON and hf=%d", handle);
    return kResultOk;
}

int32_t ChangeVpiParams(CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    const auto& cp = *static_cast<const ChangeParams*>(cb->params);
    if (std::memchr(cp.portName, '\0', kPortNameSize) == nullptr) {
        // Refused before the old port is closed: the line keeps running as it was. An empty
        // name is no such case: the host asked for the port to go, so it is closed and the
        // open fails.
        Log(kLogError, "MERIX> ChangeVpiParams() port name longer than %d characters: refused",
            static_cast<int>(kPortNameSize) - 1);
        RunTimeError(kAreaPort, kPlaceChangeParams, 0);
        return kResultFailed;
    }
    if (cp.replyTimeout != 0 && cp.replyTimeout != 0xFFFFFFFFu) {
        ctx.replyTimeout = cp.replyTimeout;
    }
    DisownForeignPort(ctx, cb->driverNumber, "ChangeVpiParams");
    if (ctx.hf != 0) {
        CloseCom(cb);
    }
    std::memcpy(ctx.portParams.portName, cp.portName, kPortNameSize);
    const uint32_t handle = OpenSavedPort(ctx);
    if (handle == 0) {
        KeepComOnForReconnect(ctx);
        RunTimeError(kAreaPort, kPlaceChangeParams, 0);
        return kResultFailed;
    }
    ctx.comOn = 1;
    ComSetTimeout(handle, static_cast<int>(ctx.replyTimeout));
    Log(kLogDetail, "MERIX> ChangeVpiParams(), com ON and hf=%d", handle);
    return kResultOk;
}

} // namespace merix
