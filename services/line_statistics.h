// What the line did, per station, as the operator reads it through the statistics gates
// ("ST05SIL"): transactions that ended well or not, retries, silences, corrupted, wrong and
// refused replies, events delivered and the last reply's turnaround.
//
// The code that decides an outcome tells the count here; nothing is reconstructed from state.
// The counts live outside the host's context record, in room found at ColdStart; counting
// allocates nothing.
#pragma once

#include <cstdint>
#include <optional>

#include "merix/statistics_gates.h"
#include "merix/vpi.h"

namespace merix {

/// Finds room for the counters of `ctx`, all zero; false when there is none, and then nothing
/// is counted and every counter reads 0.
bool PrepareLineStatistics(const DriverContext& ctx);

/// Adds `n` to a counter of `station` (1..31; others are not counted).
void CountLine(const DriverContext& ctx, int32_t station, LineCounter counter, uint32_t n = 1);

/// The lines were switched back to receive at `ticks` of the performance counter.
void NoteReceiveSwitch(const DriverContext& ctx, int64_t ticks);
/// The first read of a reply returned `bytes` bytes, the first of them `station`, the station
/// that answered: its turnaround is the time since the switch to receive, less those bytes'
/// time on the line. A station byte outside 1..31 is credited to no station.
void NoteFirstReplyBytes(const DriverContext& ctx, int32_t station, uint32_t bytes);

/// A counter of `station`, or of the whole line for station 0: the sum of every station's
/// counts, and the line's last turnaround. nullopt for a station outside 0..31.
std::optional<uint32_t> ReadLineCounter(const DriverContext& ctx, int32_t station,
                                        LineCounter counter);

/// Clears every counter of `station`, or of every station for 0.
void ClearLineCounters(const DriverContext& ctx, int32_t station);

/// Gives back the counters of every instance (unit tests load the library afresh).
void ReleaseLineStatistics();

} // namespace merix
