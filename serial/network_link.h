// A line behind a device server on the network: what its open says, and its connection kept
// up. A lost connection is a port gone, as an unplugged adapter is: requests fail at once
// while it lasts, and the driver connects again by itself, without the host's help.
#pragma once

#include <cstdint>

#include "merix/vpi.h"
#include "platform/platform.h"
#include "services/instance_room.h"

namespace merix {

/// A lost line is tried again no more often than this, so that a server that is down is not
/// hammered and each try costs at most one transaction a connect.
inline constexpr uint64_t kReconnectEveryMs = 5000;

/// For a port just opened behind a device server: logs what governs the line (the server's own
/// settings, or those the driver gave it over RFC 2217, with any the server left unanswered),
/// and notes the connect in `room`; a line lost before is said to be back.
void SetUpNetworkLink(InstanceRoom& room, const char* name, plat::Handle handle);

/// For a port kept unconnected because its server could not be reached at the open (`error`):
/// the line counts as lost from now, with the lost line's log line, and is tried again after
/// kReconnectEveryMs.
void KeepNetworkLink(InstanceRoom& room, const char* name, uint32_t error);

/// What a network port's failure code means, as ": text" for a log line; "" for other codes.
const char* NetworkErrorText(uint32_t error);

/// True when the instance's line can carry a request: any device, and a network port whose
/// connection is up or, lost, comes back at a try now. One level-32 line says when the line is
/// lost and one when it is back.
bool NetworkLinkUp(const DriverContext& ctx);

} // namespace merix
