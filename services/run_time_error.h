// Numbered failure reports: area * 1000 + place * 10 + detail, logged at level 32.
#pragma once

#include <cstdint>

namespace merix {

/// The areas of the codes, by the part of the driver that raises them. Each part names its
/// own places.
enum RunTimeArea : int32_t {
    kAreaEntry = 1,        ///< the entry's command dispatch
    kAreaPort = 2,         ///< the port lifecycle commands
    kAreaGates = 3,        ///< gate address parsing
    kAreaTransactions = 5, ///< reads, writes and the time broadcast
};

/// Computes the run-time error code; a detail above 10 counts as 0.
int32_t RunTimeErrorCode(int32_t area, int32_t place, int32_t detail);
/// Logs "MERIX> Run Time Error <code>" at level 32. Never stops the caller.
void RunTimeError(int32_t area, int32_t place, int32_t detail);

} // namespace merix
