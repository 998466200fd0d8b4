// What the fed system answers for the serial-device requests of platform/posix_system.h, which a
// pseudo-terminal cannot answer itself: the tests set it, the POSIX backend reads it.
#pragma once

#include <chrono>

#include "platform/posix_system.h"

namespace merix::test {

struct FedDevice {
    bool counted = true; ///< false: a device that keeps no error counts
    plat::sys::ErrorCounts counts;
    int outputQueued = 0; ///< answered until `drainedAt`, 0 from then on
    std::chrono::steady_clock::time_point drainedAt = std::chrono::steady_clock::time_point::max();
    bool rs485 = false;
};

/// The one device behind every descriptor.
inline FedDevice g_fed;

} // namespace merix::test
