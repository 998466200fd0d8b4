// Turning the half-duplex line around for a request, in one of two ways:
// - switched by the driver: DTR and RTS go to their send state before the write, are held
//   there by a busy-wait on the counter until the frame's line time has passed, and go back;
// - switched by the port: a UART or adapter in RS-485 mode raises RTS for the bytes on the
//   wire, so the driver only waits, asleep, until the request has left: no earlier than its
//   computed line time from the write's start, and on POSIX no earlier than tcdrain says.
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

/// "RTS_CONTROL_TOGGLE", as Windows names the mode the driver asks a port for.
inline constexpr const char* kRs485ModeName = "RTS_CONTROL_TOGGLE";

/// A station sent at least one byte (`heard`), or none, in a transaction of `ctx` just over.
/// Switched by the port and silent since the open for kSilentHintAfter transactions, the
/// instance gets one level-32 line that points at RS485 = OFF: a port that stores the mode and
/// ignores it sends every request with its transmitter off.
void NoteTransactionHeard(const DriverContext& ctx, bool heard);
inline constexpr uint32_t kSilentHintAfter = 5;

/// When the write of a frame began, on the counter (`counter`) and on the process clock.
struct WriteStart {
    bool counter = false;
    int64_t ticks = 0;
    uint64_t ms = 0;
};

/// Where the hold was planned to end, if it was, and the counter reads it took.
struct Hold {
    int64_t plannedEnd = 0;
    bool planned = false;
    int iIndex = 0;   // counted while debugging only
    bool left = true; // false: the port did not send the frame within its write timeout
};

/// One way of turning the half-duplex line around for a request. One implementation per
/// way (line_direction.cpp), chosen when the port is opened: the instance's room keeps which
/// (LineDirection), and LineTurnOf gives its implementation.
class LineTurn {
public:
    /// The lines to their send state, before the write.
    virtual void ToSend(const DriverContext& ctx) const = 0;
    /// Returns when the request of `frameBytes` bytes, written from `start`, has left: a
    /// busy-wait of `holdTime` ms, or the port's drain and the frame's computed line time.
    virtual Hold UntilSent(const DriverContext& ctx, float holdTime, uint32_t frameBytes,
                           const WriteStart& start) const = 0;
    /// The lines back to their receive state, once the request has left.
    virtual void ToReceive(const DriverContext& ctx) const = 0;
    /// The hold needs the thread at time-critical priority.
    virtual bool TimeCritical() const = 0;
    /// Who turns the line around, for the log and the trace: "driver", ...
    virtual const char* Text() const = 0;
    /// A port asked to turn the line itself may store the mode and ignore it: a line silent
    /// since the open hints at that.
    virtual bool MayIgnoreItsMode() const { return false; }
    /// A line behind a device server: connected again when the connection is lost, and its
    /// bytes come in the network's time, so that none can be told an echo by its time.
    virtual bool OnTheNetwork() const { return false; }

protected:
    ~LineTurn() = default;
};

const LineTurn& LineTurnOf(LineDirection direction);

/// The direction part of one request, the way the instance's port was opened.
class DirectionSwitch {
public:
    explicit DirectionSwitch(const DriverContext& ctx)
        : ctx_(ctx), turn_(LineTurnOf(LineDirectionOf(ctx))) {}

    void ToSend() const { turn_.ToSend(ctx_); }
    Hold UntilSent(float holdTime, uint32_t frameBytes, const WriteStart& start) const {
        return turn_.UntilSent(ctx_, holdTime, frameBytes, start);
    }
    void ToReceive() const { turn_.ToReceive(ctx_); }
    bool TimeCritical() const { return turn_.TimeCritical(); }

private:
    const DriverContext& ctx_;
    const LineTurn& turn_;
};

} // namespace merix
