// Faults that a station's replies suffer on request: scripted ("the next 2 replies of
// station 5") or by a seeded probability, so that every run with the same seed misbehaves
// the same way.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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
    LostRequest,  ///< the request never reaches the station: nothing done, nothing answered
    RefusePoll,   ///< a poll for the next event block (0x42) is refused with exception code
                  ///< `param` (0: 6, busy) and the block stays in the buffer; only polls suffer it
    // New kinds go here, and the count below names the last one.
};

inline constexpr size_t kFaultKinds = static_cast<size_t>(FaultKind::RefusePoll) + 1;

/// Every fault kind with its name on the command line and in scenarios: the one list of them.
/// A new kind is added to the enum and here; help texts, messages and tests follow.
inline constexpr std::array<std::pair<FaultKind, std::string_view>, kFaultKinds> kFaultKindNames{{
    {FaultKind::NoReply, "no_reply"},
    {FaultKind::BadCrc, "bad_crc"},
    {FaultKind::Truncated, "truncated"},
    {FaultKind::WrongStation, "wrong_station"},
    {FaultKind::Exception, "exception"},
    {FaultKind::Late, "late"},
    {FaultKind::Noise, "noise"},
    {FaultKind::LostRequest, "lost_request"},
    {FaultKind::RefusePoll, "refuse_poll"},
}};

/// Whether kFaultKindNames names every kind once, in the enum's order: a row left out leaves
/// a default row ({NoReply, ""}) at the end, out of order.
constexpr bool FaultKindsNamedInOrder() {
    for (size_t i = 0; i < kFaultKinds; ++i) {
        if (static_cast<size_t>(kFaultKindNames[i].first) != i ||
            kFaultKindNames[i].second.empty()) {
            return false;
        }
    }
    return true;
}
static_assert(FaultKindsNamedInOrder(), "kFaultKindNames: one row per FaultKind, in its order");

struct Fault {
    FaultKind kind = FaultKind::NoReply;
    int param = 0;
};

std::string_view FaultKindName(FaultKind kind);
/// "no_reply, bad_crc, ...": every name, for help texts and messages.
std::string FaultKindList();

/// "no_reply 12, bad_crc 3" for the kinds counted at least once; "none" when none was.
std::string DescribeFaultCounts(const std::array<uint64_t, kFaultKinds>& byKind);
std::optional<FaultKind> ParseFaultKind(std::string_view name);

/// A reply as it goes on the line after a fault.
struct FaultedReply {
    std::vector<uint8_t> bytes;
    std::chrono::milliseconds delay{0};
};

/// True when `fault` can strike a request of `function`.
bool FaultApplies(const Fault& fault, uint8_t function);

/// The exception code a refusing fault (Exception, RefusePoll) answers with.
uint8_t RefusalCode(const Fault& fault);

/// The reply `frame` of `station` after `fault`; Exception, RefusePoll and LostRequest are not
/// handled here, since they replace the station's work and not its reply.
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

    /// The fault for the next request of `function`, if any: a scripted one first, else the
    /// first random rule whose roll hits. A fault that cannot strike this function is not
    /// used up: a scripted one waits for a request it fits, a random one is not rolled.
    std::optional<Fault> Next(uint8_t function = 0);

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
