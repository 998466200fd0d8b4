// The only state the driver keeps outside the DriverContext: shared by every instance.
#pragma once

#include <cstdint>

namespace merix {

struct LibraryState {
    uint32_t stopFlag = 0;     ///< set by EndVpi, never cleared while loaded
    double betweenTimer = 0.0; ///< when the last dispatched command returned
    double workedTimer = 0.0;  ///< when the current call began
};

LibraryState& Library();

/// Back to the state at load. Only unit tests, which run many "loads" in one process, use it.
void ResetLibraryStateForTests();

} // namespace merix
