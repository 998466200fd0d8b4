// Lines that hear their own requests: 2-wire RS-485 adapters whose receiver stays on,
// converters with automatic direction, some USB adapters. The request comes back on the
// receive line before any reply; read as the reply, the echo of a single write (functions 5
// and 6, whose reply repeats the request byte for byte) would confirm a write that no
// controller made. So the echo is read and compared before the reply, and never taken for it.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

/// The request of `length` bytes in ctx.txBuf (its CRC included) has just gone out, and the
/// lines are back in receive state. On a line that echoes (ECHO = ON, or an echo seen since
/// the open) its echo is read within the reply timeout and compared byte for byte. On a serial
/// line not known to echo, bytes already received (they came while the request was sent: no
/// station answers before the silence that ends it) that repeat the request are its echo: one
/// level-32 line says so, and the line echoes from then on until the next open. False when the
/// attempt cannot go on to the reply: the echo did not come whole and unchanged (a collision;
/// counted as ECHO for `station`), or bytes came before any station could answer that are no
/// echo of the request.
bool TakeLineEcho(const DriverContext& ctx, int32_t station, uint32_t length);

/// The `received` bytes in ctx.rxBuf were read as the reply to the request of `length` bytes.
/// On a serial line not known to echo, a reply that begins with that request, byte for byte and
/// with its CRC, is its echo come late (an adapter that hands on received bytes late): the rest
/// of the echo is read, the bytes behind it are left for the next reception, and the line
/// echoes from then on until the next open, said in one level-32 line. True when it was the
/// echo: the reply is still to come. A single write's reply repeats its request and cannot
/// show it.
bool TakeLateLineEcho(DriverContext& ctx, uint32_t length, uint32_t received);

} // namespace merix
