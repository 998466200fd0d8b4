// A read's wait on Linux: ppoll, which takes its timeout in nanoseconds.
#include <poll.h>

#include <ctime>

#include "platform/posix_system.h"

namespace merix::plat::sys {

int WaitReadable(int fd, int64_t timeoutNs, short* revents) {
    pollfd pfd{fd, POLLIN, 0};
    const timespec wait{static_cast<time_t>(timeoutNs / 1'000'000'000),
                        static_cast<long>(timeoutNs % 1'000'000'000)};
    const int ready = ppoll(&pfd, 1, timeoutNs < 0 ? nullptr : &wait, nullptr);
    *revents = pfd.revents;
    return ready;
}

} // namespace merix::plat::sys
