// Framing, parity and overrun errors: the first sign of a wrong baud rate or parity on one
// station, a missing terminator or a noisy cable. The port's counts are taken after every
// reply the driver awaited and credited to the station it was awaited from; those the port
// reports at the purge before the next request came with that reply's late bytes, and are
// credited to the same station.
#pragma once

#include <cstdint>

#include "merix/vpi.h"
#include "platform/platform.h"
#include "services/instance_room.h"

namespace merix {

/// Takes the errors the port saw since the request went out (its purge took the earlier
/// ones) and counts them for `station` as FRM, PAR and OVR, and in the attempt's trace line.
/// Nothing on a port that cannot report them. `station` is the one awaited last from now on.
void TakeLineErrors(const DriverContext& ctx, int32_t station);

/// Throws away the input pending before a request, and counts the errors the port reports
/// until then, those on the bytes thrown away included, for the station awaited last.
void PurgeStaleInput(const DriverContext& ctx);

/// Whether the port just opened or connected (`name`, `handle`) can tell its line errors, kept
/// in the room and counted from here on; a port that cannot gets one line saying so.
void LearnLineErrorReports(InstanceRoom& room, const char* name, plat::Handle handle);

} // namespace merix
