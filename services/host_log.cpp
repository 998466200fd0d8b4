#include "services/host_log.h"

#include <cstdarg>
#include <cstdio>

#include "merix/qorlib.h"

namespace merix {

void Log(int level, const char* format, ...) {
    // The host's log function has no va_list form, so the line is formatted here and passed
    // through "%s": a '%' inside a gate name must not be read as a conversion by the host.
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    MERIX_HOST_LOG(level, "%s", line);
}

} // namespace merix
