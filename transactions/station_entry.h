// Which stations have entries in the context's station tables.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

/// True for stations 0 to 31. Addresses admit stations up to 99; no table may be indexed by
/// one of those.
inline bool HasStationEntry(int32_t station) {
    return station >= 0 && station < kStationCount;
}

} // namespace merix
