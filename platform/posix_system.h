// What the POSIX backend asks of the one system it is built for: the pieces that POSIX leaves
// out and each system names its own way. The Linux answers are in platform/linux_*.cpp; a port
// to another system keeps the POSIX files and answers these for its own terminals.
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

/// True when `fd` is the slave side of a pseudo-terminal, which has no parity to set.
bool IsPseudoTerminal(int fd);

} // namespace merix::plat::sys
