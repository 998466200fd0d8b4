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

const std::array<CommandSlot, kCommandSlots>& CommandTable();

} // namespace merix
