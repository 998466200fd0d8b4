// Helpers shared by the port lifecycle commands.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

/// Opens the port with the saved PortParams. On success stores the handle in `hf` and
/// returns it; on failure returns 0 and leaves `hf` alone. A saved name that is empty or
/// not terminated within its 12 bytes fails without touching the system.
uint32_t OpenSavedPort(DriverContext& ctx);

/// True when `name` holds 1 to 11 characters and a terminating zero within its 12 bytes.
bool PortNameFits(const char (&name)[kPortNameSize]);

/// Character time in ms for the port parameters; 0 when the baud rate is 0.
float CharacterTime(uint16_t baud, int dataBits, int stopBitsCode, int parityCode);

/// Three and a half character times in whole ms, at least 1 and at most 5000.
uint16_t DefaultGap(float msecPerChar);

/// The hold correction that suits the baud rate.
float DefaultFDelay(uint16_t baud);

} // namespace merix
