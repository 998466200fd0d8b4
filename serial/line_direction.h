// Turning the half-duplex line around for a request, in one of two ways:
// - switched by the driver: DTR and RTS go to their send state before the write, are held
//   there by a busy-wait on the counter until the frame's line time has passed, and go back;
// - switched by the port: a UART or adapter in RS-485 mode raises RTS for exactly the bytes
//   on the wire, so the driver only waits until the request has left it.
// The gap before the request and the receiver after it are the same either way.
#pragma once

#include <cstdint>

#include "merix/vpi.h"
#include "services/instance_room.h" // LineDirection

namespace merix {

/// The way the instance's port was last opened to run; switched by the driver when it has no
/// room or its port did not take RS-485 mode.
LineDirection LineDirectionOf(const DriverContext& ctx);

/// Sets the way for the port the instance has just opened.
void SetLineDirection(const DriverContext& ctx, LineDirection direction);

/// "driver" or "port (RS-485)", for the log and the trace.
const char* LineDirectionText(LineDirection direction);

/// Where the hold was planned to end, if it was, and the counter reads it took.
struct Hold {
    int64_t plannedEnd = 0;
    bool planned = false;
    int iIndex = 0; // counted while debugging only
};

/// The direction part of one request.
class DirectionSwitch {
public:
    explicit DirectionSwitch(const DriverContext& ctx);

    /// Lines to their send state (switched by the driver only).
    void ToSend() const;
    /// Returns when the request of `holdTime` ms on the line has left: the busy-wait of a
    /// driver-switched line (`counter`: there is a counter to wait on), or the port's drain.
    Hold UntilSent(float holdTime, bool counter) const;
    /// Lines back to their receive state (switched by the driver only).
    void ToReceive() const;
    /// The busy-wait needs the thread at time-critical priority; the port's drain does not.
    bool TimeCritical() const { return direction_ == LineDirection::kDriverSwitched; }

private:
    const DriverContext& ctx_;
    LineDirection direction_;
    int sendDtr_;
    int sendRts_;
    int recDtr_;
    int recRts_;
};

} // namespace merix
