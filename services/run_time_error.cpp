#include "services/run_time_error.h"

#include <cstdio>

#include "merix/qorlib.h"
#include "services/host_log.h"

namespace merix {

int32_t RunTimeErrorCode(int32_t area, int32_t place, int32_t detail) {
    if (detail > 10) {
        detail = 0;
    }
    // Wrapping arithmetic: the arguments come from our own call sites, but a bad detail
    // must not become undefined behaviour.
    return static_cast<int32_t>(static_cast<uint32_t>(area) * 1000u +
                                static_cast<uint32_t>(place) * 10u + static_cast<uint32_t>(detail));
}

void RunTimeError(int32_t area, int32_t place, int32_t detail) {
    char line[81];
    std::snprintf(line, sizeof line, "MERIX> Run Time Error %d",
                  RunTimeErrorCode(area, place, detail));
    Log(kLogError, "%s", line);
}

} // namespace merix
