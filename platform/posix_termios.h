// The POSIX backend's conversion between a DCB and terminal settings, on its own so that
// tests can check it field by field, and the one table of baud rates that the backend and
// the simulator both set terminals from.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct termios;

namespace merix::plat {

/// Builds the whole of `*tio` from the DCB: every input, output, local and control flag is
/// set from it, none is kept from what an earlier program left on the port. Reads come back
/// at once with what is there (VMIN and VTIME 0). False, with `*tio` untouched, for a rate,
/// byte size, parity or stop-bits code that a terminal cannot take.
bool DcbToTermios(const Dcb& dcb, termios* tio);

/// The DCB fields that terminal settings carry.
Dcb DcbFromTermios(const termios& tio);

/// Sets the input and output speed of `*tio` to `rate` bits per second. False, with `*tio`
/// untouched, for a rate that this system's terminals do not name.
bool SetTermiosSpeed(uint32_t rate, termios* tio);

} // namespace merix::plat
