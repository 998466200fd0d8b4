// Numbered failure reports: area * 1000 + place * 10 + detail, logged at level 32.
#pragma once

#include <cstdint>

namespace merix {

/// Computes the run-time error code; a detail above 10 counts as 0.
int32_t RunTimeErrorCode(int32_t area, int32_t place, int32_t detail);
/// Logs "MERIX> Run Time Error <code>" at level 32. Never stops the caller.
void RunTimeError(int32_t area, int32_t place, int32_t detail);

} // namespace merix
