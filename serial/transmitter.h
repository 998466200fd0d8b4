// Request transmission: inter-frame gap, CRC, the line's direction (serial/line_direction.h)
// and the timings of the hold.
#pragma once

#include <cstdint>
#include <span>

#include "merix/vpi.h"

namespace merix {

/// Sends `length` frame bytes from `buffer` with the CRC appended behind them (the buffer
/// needs two bytes of room). 0 when the whole frame was written; 1 when the write failed or
/// was short, or the buffer has no room for the CRC.
int Send(DriverContext& ctx, std::span<uint8_t> buffer, int length);

/// Waits the inter-frame gap `IFG`, measured from the call on the process clock.
void WaitIFG(DriverContext& ctx);

/// WaitIFG with `gapMs` in place of the configured gap, which is put back afterwards: the
/// pause before a retry.
void WaitGap(DriverContext& ctx, uint16_t gapMs);

/// The initialisation file and the "IFG" gate refuse gaps of this many milliseconds and more.
inline constexpr uint16_t kGapLimitMs = 5000;

/// The pause before a retry and before the time synchronisation.
inline constexpr uint16_t kRetryGapMs = 50;

} // namespace merix
