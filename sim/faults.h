// Faults that a station's replies suffer on request: scripted ("the next 2 replies of
// station 5") or by a seeded probability, so that every run with the same seed misbehaves
// the same way.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

#include "sim/rng.h"

namespace h51sim {

enum class FaultKind {
    NoReply,      ///< the request is carried out, the reply is lost
    BadCrc,       ///< the reply's CRC is wrong
    Truncated,    ///< only the first `param` bytes go out (0: half the frame)
    WrongStation, ///< a well-formed reply from station `param` (0: the next station)
    Exception,    ///< the station refuses with exception code `param`, without acting
    Late,         ///< the reply starts `param` ms later than it would
    Noise,        ///< `param` random bytes (0: 3) go out before the reply
};

struct Fault {
    FaultKind kind = FaultKind::NoReply;
    int param = 0;
};

std::string_view FaultKindName(FaultKind kind);
std::optional<FaultKind> ParseFaultKind(std::string_view name);

/// A reply as it goes on the line after a fault.
struct FaultedReply {
    std::vector<uint8_t> bytes;
    std::chrono::milliseconds delay{0};
};

/// The reply `frame` of `station` after `fault`; Exception is not handled here, since it
/// replaces the station's work and not its reply.
FaultedReply ApplyFault(const Fault& fault, std::vector<uint8_t> frame, uint8_t station, Rng& rng);

/// The faults planned for one station.
class FaultPlan {
public:
    explicit FaultPlan(uint64_t seed) : rng_(seed) {}

    /// The next `count` replies suffer `fault`, after those already scripted.
    void Script(const Fault& fault, unsigned count);
    /// Every reply suffers `fault` with `probability` (0 to 1), unless a script applies.
    void AddRandom(const Fault& fault, double probability);
    void Clear();

    /// The fault for the next reply, if any: a scripted one first, else the first random
    /// rule whose roll hits.
    std::optional<Fault> Next();

    Rng& Random() { return rng_; }

private:
    struct RandomRule {
        Fault fault;
        double probability;
    };
    struct ScriptEntry {
        Fault fault;
        unsigned remaining;
    };
    std::deque<ScriptEntry> script_;
    std::vector<RandomRule> random_;
    Rng rng_;
};

} // namespace h51sim
