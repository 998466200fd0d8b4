// Request transmission: the CRC, the line made ready (the trace, the connection, the
// inter-frame gap, the stale input), and the send itself: the line's direction
// (serial/line_direction.h) and the timings of the hold.
#pragma once

#include <cstdint>
#include <span>

#include "merix/vpi.h"

namespace merix {

/// A request as every transaction sends it: the CRC behind its `length` bytes in `buffer`
/// (which needs two bytes of room), the line made ready, then the frame sent. 0 when the whole
/// frame was written; 1 when the line was not connected, the write failed or was short, or
/// the buffer has no room for the CRC.
int SendRequest(DriverContext& ctx, std::span<uint8_t> buffer, int length);

/// The CRC written behind the `length` frame bytes of `buffer`: the frame with it, or an empty
/// span when the buffer has no room for it.
std::span<const uint8_t> AppendCrc(std::span<uint8_t> buffer, int length);

/// What comes before each request, in this order: the trace writes the attempt before; a
/// network port whose connection was lost is connected again; the gap IFG; the input left
/// from before is thrown away, with the line errors that came with it. False when the line is
/// not connected: `frame` is traced as not sent.
bool MakeLineReady(DriverContext& ctx, std::span<const uint8_t> frame);

/// Sends `frame` (its CRC included): the line turned to send, the write, the hold until the
/// frame has left, the line back to receive, the trace's line of the request. 0 when the
/// whole frame was written; 1 when the write failed or was short.
int Send(DriverContext& ctx, std::span<const uint8_t> frame);

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
