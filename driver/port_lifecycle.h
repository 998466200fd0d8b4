// Helpers shared by the port lifecycle commands.
#pragma once

#include <cstdint>

#include "merix/vpi.h"
#include "platform/platform.h"
#include "services/instance_room.h"

namespace merix {

/// Run-time errors of the port commands: area 2, at these places.
enum PortErrorPlace : int32_t {
    kPlaceColdStartOpen = 1, ///< 2010: ColdStart could not open the port
    kPlaceClose = 2,         ///< 2027: closing the port failed (the detail is the status)
    kPlaceReOpen = 3,        ///< 2030: ReOpenCom could not open the port
    kPlaceChangeParams = 4,  ///< 2040: ChangeVpiParams could not open the port
};

/// Opens the port with the saved PortParams. On success stores the handle in `hf` and in the
/// instance's room, and returns it; on failure logs the code and the system error at level 8,
/// returns 0 and leaves `hf` alone, but for a device server that could not be reached: its
/// port is kept unconnected in `hf` and the room, and the line connects again by itself
/// (serial/network_link.h). An instance without room opens nothing: no command could close
/// what it opened. A saved name that is empty or not terminated within its 12 bytes fails
/// without touching the system.
///
/// The 1 ms timer period is held while an instance has a port: an open that gives `hf` a
/// handle where it held none raises it (HoldTimerPeriod), and whatever gives up `hf`'s handle
/// lowers it (ReleaseTimerPeriod): CloseCom, EndVpi, ReOpenCom on a gone port, and a ColdStart
/// or EndVpi that releases what the instance's room holds. One raise per
/// instance with a port, so the two always come in pairs. Without it, the gap's Sleep and the
/// retry pause run on Windows' default 15.6 ms tick.
uint32_t OpenSavedPort(DriverContext& ctx);

/// A handle in `hf` that the room of `ctx` does not record was not opened for this context by
/// this library: host memory that never saw a ColdStart, or an old context whose handle number
/// the system may have given to another instance's port since. It is not closed; one level-32
/// line names `instance` and the handle, and `hf` becomes 0.
void DisownForeignPort(DriverContext& ctx, uint32_t instance, const char* command);

/// Tells the instance's room which handle this library holds open for it now, and whether
/// its timer period is held, after every change of `hf`.
void RecordPort(const DriverContext& ctx, plat::Handle handle, bool periodHeld);

/// Closes `handle`; a failure gets CloseCom's lines and its run-time error, 2027.
bool ClosePort(plat::Handle handle);

/// Closes the port and lowers the timer period that `room` holds for its instance, with
/// CloseCom's log lines after one that names `command` and the instance; the room then holds
/// nothing. The instance's context is not touched: it may be gone.
void ReleaseHeldPort(InstanceRoom& room, const char* command);

/// timeBeginPeriod(1) and timeEndPeriod(1) for an instance's port (see OpenSavedPort).
void HoldTimerPeriod();
void ReleaseTimerPeriod();

/// True when `name` holds 1 to 11 characters and a terminating zero within its 12 bytes.
bool PortNameFits(const char (&name)[kPortNameSize]);

/// Character time in ms for the port parameters; 0 when the baud rate is 0.
float CharacterTime(uint16_t baud, int dataBits, int stopBitsCode, int parityCode);

/// Three and a half character times in whole ms, at least 1 and at most 5000.
uint16_t DefaultGap(float msecPerChar);

/// The hold correction that suits the baud rate.
float DefaultFDelay(uint16_t baud);

} // namespace merix
