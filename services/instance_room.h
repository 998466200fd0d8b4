// What the library keeps of each instance beyond its context record: the port it opened for
// the instance, the timer period it holds for it, and the settings of its initialisation file.
//
// The host's memory is not to be trusted before the first ColdStart, and a handle number in a
// context that the host has let go may name another instance's port by now: the system reuses
// the numbers of closed handles. So a handle in a context proves nothing; the room does. The port
// commands close or reopen `hf` only while the room of that context records that same handle.
#pragma once

#include <cstdint>
#include <string_view>

#include "merix/vpi.h"
#include "platform/platform.h"
#include "services/instance_settings.h"

namespace merix {

/// Who turns the half-duplex line around (serial/line_direction.h).
enum class LineDirection : uint8_t {
    kDriverSwitched, ///< DTR/RTS by the driver, held by a busy-wait
    kPortSwitched,   ///< the port in RS-485 mode
    kServerSwitched, ///< a device server on the network: its port turns the line around
};

/// A station set aside after a transaction that failed for good (DEMOTE): its transactions
/// answer at once until `untilMs`, and the first one after it probes the station.
struct StationDemotion {
    uint64_t untilMs = 0;      ///< ClockMs at which the period ends
    const char* why = nullptr; ///< what failed; nullptr: the station is not demoted
    bool said = false;         ///< the period's first refusal is in the log
    bool probing = false;      ///< the transaction in progress probes the station
};

struct InstanceRoom {
    uint32_t vpiNumber = 0;
    plat::Handle port = 0;     ///< opened by this library for the instance, not closed since
    bool periodHeld = false;   ///< a TimeBeginPeriod(1) of the instance awaits its end
    InstanceSettings settings; ///< from the initialisation file at ColdStart
    /// As the port's last open left it.
    LineDirection direction = LineDirection::kDriverSwitched;
    bool lineErrorsReported = false; ///< the port can tell its framing, parity, overrun errors
    /// The station whose reply was awaited last (0: none since the open): errors the port
    /// reports before the next request came with that reply's late bytes.
    int32_t lastAwaited = 0;
    /// Transactions since the open, switched by the port, in which no station sent a byte;
    /// kHeard once one did.
    uint32_t silentSinceOpen = 0;
    /// A network port's connection is lost, and was said so; it is tried again before a
    /// request, at most once every kReconnectEveryMs (serial/network_link.h).
    bool linkLost = false;
    /// The port was kept unconnected at its open: its first connection is set up as an open's.
    bool setUpPending = false;
    uint64_t lastConnectMs = 0; ///< ClockMs of the last connect, made or tried
    StationDemotion demotion[kStationCount];
    /// The line was found to echo its requests since the open (without ECHO = ON, which the
    /// settings hold): their echo is read before each reply until the next open.
    bool echoSeen = false;
    /// Bytes the echo check read off the port that are no echo: the reply's first, which the
    /// receiver takes before it reads the port again.
    uint8_t early[kTxBufSize] = {};
    uint32_t earlyLength = 0;
    uint32_t earlyAt = 0;
};

/// silentSinceOpen once a station has answered since the open.
inline constexpr uint32_t kHeard = 0xFFFFFFFFu;

/// The room of `ctx` in its starting state; nullptr when none can be had. Rooms retired by
/// the claim are not released: call RetireInstanceRooms first.
InstanceRoom* ClaimInstanceRoom(const DriverContext& ctx);
/// The room of `ctx`, or nullptr. Never allocates.
InstanceRoom* FindInstanceRoom(const DriverContext& ctx);
/// Calls `release(room)` for the room at `ctx`'s address, whatever its instance, and for every
/// room of instance `number`, and gives them up: the host starts `number` in `ctx` now.
void RetireInstanceRooms(const DriverContext& ctx, uint32_t number,
                         void (*release)(InstanceRoom& room));
/// True when the room of `ctx` records `hf` as the port this library opened for it.
bool PortOfContext(const DriverContext& ctx);

/// The port the instance opens: PORT of its initialisation file, or else the host's name.
std::string_view LinePortName(const DriverContext& ctx);

/// Calls `f(room)` for every instance that has a room.
void ForEachInstanceRoom(void (*f)(InstanceRoom& room));

/// Gives every room back (unit tests load the library afresh).
void ReleaseInstanceRooms();

} // namespace merix
