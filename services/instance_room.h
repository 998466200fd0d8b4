// What the library keeps of each instance beyond its context record: the port it opened for
// the instance, the timer period it holds for it, and the settings of its initialisation file.
//
// The host's memory is not to be trusted before the first ColdStart, so a handle in a context
// proves nothing; the room does. ColdStart, EndVpi and a restart in a new context close what
// the room says this library opened, and nothing else.
#pragma once

#include <cstdint>

#include "merix/vpi.h"
#include "platform/platform.h"
#include "services/instance_settings.h"

namespace merix {

/// Who turns the half-duplex line around (serial/line_direction.h).
enum class LineDirection : uint8_t {
    kDriverSwitched, ///< DTR/RTS by the driver, held by a busy-wait
    kPortSwitched,   ///< the port in RS-485 mode
};

struct InstanceRoom {
    uint32_t vpiNumber = 0;
    plat::Handle port = 0;     ///< opened by this library for the instance, not closed since
    bool periodHeld = false;   ///< a TimeBeginPeriod(1) of the instance awaits its end
    InstanceSettings settings; ///< from the initialisation file at ColdStart
    /// As the port's last open left it.
    LineDirection direction = LineDirection::kDriverSwitched;
    bool lineErrorsReported = false; ///< the port can tell its framing, parity, overrun errors
};

/// The room of `ctx` in its starting state; nullptr when none can be had. The room of an
/// earlier context of the same instance number is taken over: release it first
/// (EarlierInstanceRoom).
InstanceRoom* ClaimInstanceRoom(const DriverContext& ctx);
/// The room of `ctx`, or nullptr. Never allocates.
InstanceRoom* FindInstanceRoom(const DriverContext& ctx);
/// The room that ClaimInstanceRoom will start afresh when `ctx` is started as instance
/// `number`: this context's own, or one an earlier context of that number left; nullptr when
/// there is none.
InstanceRoom* EarlierInstanceRoom(const DriverContext& ctx, uint32_t number);

/// Calls `f(room)` for every instance that has a room.
void ForEachInstanceRoom(void (*f)(InstanceRoom& room));

/// Gives every room back (unit tests load the library afresh).
void ReleaseInstanceRooms();

} // namespace merix
