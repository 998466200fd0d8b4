// Demotion (DEMOTE = seconds): a station whose transaction failed for good costs the scan one
// probe a period, not five attempts a gate. While it is demoted, its reads, writes and event
// reads answer 2 at once and send nothing; the first transaction after the period is a probe,
// one attempt without retries; a probe that fails demotes it for another period. WarmStart and
// the station's HIMA gate leave a demotion to run its period; ColdStart ends it.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

/// What a station's demotion asks of a transaction to it now.
enum class Demotion : uint8_t {
    kNone,    ///< as usual
    kRefused, ///< answer 2 at once: counted as DEM, and the period's first refusal logged
    kProbe,   ///< the period is over: one attempt, no retries
};

/// Where a transaction to `station` stands; every transaction of a station with a state entry
/// asks before it sends anything.
Demotion CheckDemotion(const DriverContext& ctx, int32_t station);

/// The transaction to `station` failed for good (`why`: "no answer", "bad CRC", ...): the
/// station is demoted for DEMOTE seconds from now, when DEMOTE is set.
void Demote(const DriverContext& ctx, int32_t station, const char* why);

/// A probe of `station` is over. One that failed with a communication failure (`failed`) and
/// did not demote the station already demotes it again; one that was answered ends the
/// demotion, with one line that says the station answers again.
void EndProbe(const DriverContext& ctx, int32_t station, bool failed);

/// Seconds the demotion of `station` still runs, rounded up; 0 when it is not demoted.
uint32_t DemotionSecondsLeft(const DriverContext& ctx, int32_t station);

} // namespace merix
