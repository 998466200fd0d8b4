// The sixteen slots of VpiMain, indexed by command code minus one.
#pragma once

#include <array>

#include "driver/commands.h"
#include "driver/context_check.h"

namespace merix {

struct CommandSlot {
    CommandRoutine routine; ///< nullptr: the code is rejected
    const char* name;       ///< printed by the "worked" log line
    ContextUse use = ContextUse::kOwn;
    bool needsParams = false; ///< the routine reads its parameter record
    /// What the command wrote into the trace and the capture is in their files when it
    /// returns, not at the next flush: the port commands, after which a host may stop.
    bool flushes = false;
};

inline constexpr int kCommandSlots = 16;

/// Run-time errors of the dispatch: area 1, at these places.
enum EntryErrorPlace : int32_t {
    kPlaceCommandCode = 1, ///< 1010: a command code outside 1..16
    kPlaceNoCommand = 2,   ///< 1020: a code without a command
};

const std::array<CommandSlot, kCommandSlots>& CommandTable();

} // namespace merix
