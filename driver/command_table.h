// The sixteen slots of VpiMain, indexed by command code minus one.
#pragma once

#include <array>

#include "driver/commands.h"

namespace merix {

struct CommandSlot {
    CommandRoutine routine; ///< nullptr: the code is rejected
    const char* name;       ///< printed by the "worked" log line
};

inline constexpr int kCommandSlots = 16;

/// Run-time errors of the dispatch: area 1, at these places.
enum EntryErrorPlace : int32_t {
    kPlaceCommandCode = 1, ///< 1010: a command code outside 1..16
    kPlaceNoCommand = 2,   ///< 1020: a code without a command
};

const std::array<CommandSlot, kCommandSlots>& CommandTable();

} // namespace merix
