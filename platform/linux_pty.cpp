// How Linux tells a pseudo-terminal from a serial device: by the device's major number.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/posix_system.h"

namespace merix::plat::sys {

bool IsPseudoTerminal(int fd) {
    // Unix98 pseudo-terminal slaves have majors 136 to 143.
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
}

} // namespace merix::plat::sys
