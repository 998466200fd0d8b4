// The POSIX backend's conversion between a DCB and terminal settings, on its own so that
// tests can check it field by field.
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

} // namespace merix::plat
