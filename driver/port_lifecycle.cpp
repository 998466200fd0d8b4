#include "driver/port_lifecycle.h"

#include <cstring>
#include <string_view>

#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/line_direction.h"
#include "serial/line_errors.h"
#include "serial/line_trace.h"
#include "serial/network_link.h"
#include "services/host_log.h"
#include "services/instance_room.h"
#include "services/run_time_error.h"

namespace merix {

bool PortNameFits(const char (&name)[kPortNameSize]) {
    const void* end = std::memchr(name, '\0', kPortNameSize);
    return end != nullptr && end != name;
}

void HoldTimerPeriod() {
    plat::TimeBeginPeriod(1);
}

void ReleaseTimerPeriod() {
    plat::TimeEndPeriod(1);
}

namespace {

/// Asks the port to switch the line direction itself, and says what came of it: taken where
/// the system confirms that the port acts on it, taken but unconfirmed (Windows reads back
/// what its driver stored), or refused with the system's code.
LineDirection TakeRs485(plat::Handle handle, const char* name) {
    uint32_t refusal = 0;
    if (!ComTakeRs485(handle, &refusal)) {
        if (refusal != 0) {
            Log(kLogError,
                "MERIX> OpenSavedPort() RS485: %s cannot switch the line direction (system error "
                "%u), the driver switches DTR/RTS",
                name, refusal);
        } else {
            Log(kLogError,
                "MERIX> OpenSavedPort() RS485: %s reads back another mode than %s, the driver "
                "switches DTR/RTS",
                name, kRs485ModeName);
        }
        return LineDirection::kDriverSwitched;
    }
    if (plat::ConfirmsLineModes()) {
        Log(kLogError, "MERIX> OpenSavedPort() RS485: %s switches the line direction itself", name);
    } else {
        Log(kLogError,
            "MERIX> OpenSavedPort() RS485: %s reads back %s, but the system cannot confirm "
            "that its driver switches the line direction; if no station answers, set RS485 = OFF",
            name, kRs485ModeName);
    }
    return LineDirection::kPortSwitched;
}

/// Asks a serial device to hand on received bytes at once, and says whether it does: a USB
/// adapter otherwise holds them back for its latency timer, longer than the gap between frames.
void AskLowLatency(const char* name, plat::Handle handle) {
    if (plat::SetLowLatency(handle)) {
        Log(kLogDetail,
            "MERIX> OpenSavedPort() %s low latency: received bytes are passed on at once", name);
    } else {
        Log(kLogDetail, "MERIX> OpenSavedPort() %s takes no low-latency setting, system error %u",
            name, plat::LastError());
    }
}

/// What the instance's settings ask of a port just opened beyond the open itself: its own
/// direction control, or the device server's; and whether it can tell its line errors, counted
/// from here on.
void SetUpLink(InstanceRoom& room, const char* name, plat::Handle handle) {
    if (plat::KindOfPort(handle) != plat::PortKind::kDevice) {
        SetUpNetworkLink(room, name, handle);
    } else {
        room.linkLost = false;
        AskLowLatency(name, handle);
        room.direction =
            room.settings.rs485 ? TakeRs485(handle, name) : LineDirection::kDriverSwitched;
    }
    room.lastAwaited = 0;
    room.silentSinceOpen = 0;
    room.echoSeen = false;
    room.setUpPending = false;
    LearnLineErrorReports(room, name, handle);
}

} // namespace

namespace {

/// `hf` holds `handle` now, and the room knows it.
void HoldPort(DriverContext& ctx, plat::Handle handle) {
    if (ctx.hf == 0) {
        HoldTimerPeriod();
    }
    ctx.hf = handle;
    RecordPort(ctx, handle, true);
}

/// A device server that cannot be reached at an open is no reason to give its line up: the
/// port is kept unconnected in `hf`, with its settings, and is connected again as a lost
/// connection is, before a transaction and at most every kReconnectEveryMs. A malformed name
/// or a device is not kept.
bool KeepUnreachedPort(DriverContext& ctx, InstanceRoom& room, const char* name,
                       const PortSettings& settings, uint32_t error) {
    if (ctx.hf != 0 || plat::KindOfName(name) == plat::PortKind::kDevice ||
        error == plat::kErrorInvalidName) {
        return false;
    }
    const plat::Handle handle = plat::KeepNetworkPort(name, error);
    if (handle == plat::kInvalidHandle ||
        ComConfigure(name, handle, settings, ctx.portParams.lineMask) != kComOk) {
        return false;
    }
    HoldPort(ctx, handle);
    ComSetTimeout(handle, static_cast<int>(ctx.replyTimeout));
    KeepNetworkLink(room, name, error);
    return true;
}

} // namespace

uint32_t OpenSavedPort(DriverContext& ctx) {
    const PortParams& p = ctx.portParams;
    InstanceRoom* room = FindInstanceRoom(ctx);
    const char* name =
        room != nullptr && room->settings.port[0] != '\0' ? room->settings.port : p.portName;
    if (name != p.portName) {
        // The host's name is at most 11 characters: too short for a lasting device path or a
        // device server's address. PORT stands in for it on every open.
        const std::string_view host = PortNameFits(p.portName) ? p.portName : "(none)";
        Log(kLogError, "MERIX> OpenSavedPort() PORT %s in place of the host's port %.*s", name,
            static_cast<int>(host.size()), host.data());
    } else if (!PortNameFits(p.portName)) {
        Log(kLogError, "MERIX> OpenSavedPort() no usable port name saved, port not opened");
        return 0;
    }
    if (room == nullptr) {
        // The room is what lets a later command close the port: opened without it, the port
        // would stay locked until the host exits.
        Log(kLogError, "MERIX> OpenSavedPort() no room for instance %u: %s not opened",
            ctx.vpiNumber, name);
        return 0;
    }
    const PortSettings settings{p.baud, p.dataBits, p.stopBits, p.parity};
    plat::Handle handle = 0;
    plat::ClearLastError();
    // A device server's connect waits no longer than a reply would.
    const uint32_t connectMs = ctx.replyTimeout > 0 && ctx.replyTimeout < 100'000
                                   ? ctx.replyTimeout * 10
                                   : kOpenReadTimeoutMs;
    const int code = ComOpen(name, settings, p.lineMask, &handle, connectMs);
    if (code != kComOk) {
        const uint32_t error = plat::LastError();
        Log(kLogDetail, "MERIX> OpenSavedPort() %s not opened, code %d, system error %u%s", name,
            code, error, NetworkErrorText(error));
        if (code == kComOpenFailed) {
            KeepUnreachedPort(ctx, *room, name, settings, error); // not open all the same
        }
        return 0;
    }
    HoldPort(ctx, handle);
    SetUpLink(*room, name, handle);
    TracePortOpened(ctx);
    return handle;
}

void DisownForeignPort(DriverContext& ctx, uint32_t instance, const char* command) {
    if (ctx.hf == 0 || PortOfContext(ctx)) {
        return;
    }
    Log(kLogError,
        "MERIX> %s() hf=%d was not opened for instance %u in this context: not closed, taken "
        "as not open",
        command, ctx.hf, instance);
    ctx.hf = 0;
}

void RecordPort(const DriverContext& ctx, plat::Handle handle, bool periodHeld) {
    if (InstanceRoom* room = FindInstanceRoom(ctx)) {
        room->port = handle;
        room->periodHeld = periodHeld;
    }
}

bool ClosePort(plat::Handle handle) {
    const int status = ComClose(handle);
    if (status == kComOk) {
        return true;
    }
    Log(kLogDetail, "MERIX> CloseCom() hf=%d not closed, system error %u", handle,
        plat::LastError());
    RunTimeError(kAreaPort, kPlaceClose, status);
    return false;
}

void ReleaseHeldPort(InstanceRoom& room, const char* command) {
    if (room.port != 0) {
        Log(kLogDetail, "MERIX> %s() closing hf=%d, left open for instance %u", command, room.port,
            room.vpiNumber);
        if (ClosePort(room.port)) {
            Log(kLogDetail, "MERIX> CloseCom(), Exit (no error)");
        }
    }
    // A handle that would not close is given up all the same: nothing will close it now.
    if (room.periodHeld) {
        ReleaseTimerPeriod();
    }
    room.port = 0;
    room.periodHeld = false;
}

float CharacterTime(uint16_t baud, int dataBits, int stopBitsCode, int parityCode) {
    if (baud == 0) {
        return 0.0f;
    }
    const double parityBit = parityCode != 0 ? 1.0 : 0.0;
    // Start bit and first stop bit make the 2; a code of 1 adds half a stop bit.
    const double bits = parityBit + 0.5 * stopBitsCode + dataBits + 2.0;
    return static_cast<float>(bits / baud * 1000.0);
}

uint16_t DefaultGap(float msecPerChar) {
    const auto gap =
        static_cast<uint16_t>(static_cast<int64_t>(3.5 * static_cast<double>(msecPerChar)));
    if (gap > 5000) {
        return 5000;
    }
    return gap == 0 ? 1 : gap;
}

float DefaultFDelay(uint16_t baud) {
    switch (baud) {
    case 9600:
    case 19200:
        return -1.0f;
    case 57600:
        return 0.0f;
    default:
        return -0.5f;
    }
}

} // namespace merix
