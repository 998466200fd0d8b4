// What the POSIX backend asks of the one system it is built for: the pieces that POSIX leaves
// out, or that systems name each their own way. The Linux answers are in platform/linux_*.cpp; a
// port to another system keeps the POSIX files and answers these for its own terminals.
#pragma once

#include <cstdint>
#include <span>

namespace merix::plat::sys {

/// A baud rate and the terminal speed code (a speed_t) that names it.
struct Speed {
    uint32_t rate;
    unsigned long code;
};

/// The rates this system's terminals name beyond those of the POSIX table, with their codes.
std::span<const Speed> ExtraSpeeds();

/// The control flag (a tcflag_t) that makes the parity bit stick: with PARODD a mark, without
/// it a space. 0 where the system has none; mark and space parity are then refused.
unsigned long StickParityFlag();

/// Waits until `fd` is readable or `timeoutNs` nanoseconds (below 0: no limit) have passed,
/// to the nanosecond: poll counts whole milliseconds, finer than a read's deadline needs.
/// Answers as poll does (the ready count, 0 when the time ran out, -1 with errno), with the
/// descriptor's poll events in `*revents`.
int WaitReadable(int fd, int64_t timeoutNs, short* revents);

/// True when `fd` is the slave side of a pseudo-terminal, which has no parity to set.
bool IsPseudoTerminal(int fd);

} // namespace merix::plat::sys
