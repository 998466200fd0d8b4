// Collecting a station's buffered events: set-up (0x41), next block (0x42), repeat (0x43).
#pragma once

#include <cstdint>

#include "merix/vpi.h"
#include "serial/protocol.h"

namespace merix {

/// Writes the request that the station's flags call for into `frame`: the set-up with the
/// count of the host's event gates, the repeat, or the next block. Answers its length.
int BuildEventRequest(const GateAccessRecord& gate, uint8_t* frame, CallBlock* cb);

/// One event transaction with the station of the "$EVENT" gate: 0 done, 1 bad data or
/// overflow, 2 station switched off, outside the tables, or communication failed.
int32_t ReadEvent(CallBlock* cb);

} // namespace merix
