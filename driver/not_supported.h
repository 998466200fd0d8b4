// The answer of a command slot whose routine is not built yet.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

inline int32_t NotSupported(CallBlock*) {
    return 1;
}

} // namespace merix
