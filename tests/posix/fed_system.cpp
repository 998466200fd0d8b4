// The serial-device requests of platform/posix_system.h answered from g_fed, in place of
// platform/linux_serial.cpp: what a UART would count and hold, a pseudo-terminal does not.
#include <cerrno>

#include "tests/posix/fed_system.h"

namespace merix::plat::sys {

using test::g_fed;

bool ReadErrorCounts(int, ErrorCounts* counts) {
    if (!g_fed.counted) {
        errno = ENOTTY;
        return false;
    }
    *counts = g_fed.counts;
    return true;
}

int OutputQueued(int) {
    return std::chrono::steady_clock::now() < g_fed.drainedAt ? g_fed.outputQueued : 0;
}

bool Rs485Enabled(int) {
    return g_fed.rs485;
}

bool SetRs485(int, bool on) {
    g_fed.rs485 = on;
    return true;
}

} // namespace merix::plat::sys
