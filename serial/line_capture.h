// The line as a capture file that Wireshark opens (CAPTURE = <file>): every request and reply
// as a packet stamped when its first byte was seen, with its direction, and the framing,
// parity and overrun errors of the port as events of their own.
//
// The file is pcapng with the RTAC serial link type (250): a 12-byte header before each
// packet's bytes tells its direction or names the line error, and Wireshark reads that header
// as it comes; wireshark/merix.lua adds the decoding of the frames.
//
// As the line trace, it must not disturb the timing it records: the hooks only copy bytes
// and time stamps into memory kept per instance, and the blocks are written when the attempt
// is over. Nothing allocates after the file is opened. Every block is written whole, and a
// file that rotates begins with its own section and interface, so that any file, and a file
// cut short, opens on its own with the packets before the cut.
#pragma once

#include <cstdint>
#include <span>

#include "merix/vpi.h"

namespace merix {

/// Starts the capture of `ctx` into the file `path`, written up to `maxMiB` before it becomes
/// the one older file kept, or stops it when `path` is empty. A file already there becomes the
/// older file: every capture file begins with its own header. A file that cannot be opened
/// gets one level-32 line; the driver goes on without a capture.
void StartLineCapture(DriverContext& ctx, const char* path, int maxMiB);
/// Ends the capture held at `ctx`'s address and one an earlier context of its instance left.
void RetireLineCapture(const DriverContext& ctx);
/// Writes what is pending and closes the capture of `ctx`, if any.
void StopLineCapture(const DriverContext& ctx);
/// Closes every capture: the library is stopped for good.
void StopAllLineCaptures();

/// True when `ctx` is captured.
bool LineCaptured(const DriverContext& ctx);

// Told where the line trace is told (serial/line_trace.h); each does nothing when `ctx` is not
// captured.

/// A request is about to be sent: the attempt before it, if any, is written out.
void CaptureSendBegins(const DriverContext& ctx);
/// The request `frame` went out, or failed to; ctx.pracDelay holds how long the line was held.
void CaptureSent(const DriverContext& ctx, std::span<const uint8_t> frame, bool written);
/// One read of the receiver returned: `total` bytes of the reply are in ctx.rxBuf now.
void CaptureReceiveStep(const DriverContext& ctx, uint32_t total);
/// The receiver is done with the reply in ctx.rxBuf.
void CaptureReceiveEnds(const DriverContext& ctx);
/// The port saw these errors while the reply was awaited.
void CaptureLineErrors(const DriverContext& ctx, uint32_t framing, uint32_t parity,
                       uint32_t overrun);
/// The port reported these errors before a request, on late bytes of the reply `station` sent.
void CaptureLateLineErrors(const DriverContext& ctx, int32_t station, uint32_t framing,
                           uint32_t parity, uint32_t overrun);
/// The port was opened again, perhaps with other settings: a new interface describes it.
void CapturePortOpened(const DriverContext& ctx);
/// The host's command is over: what is pending is written, and the file flushed now and then;
/// at once when `flushNow`.
void CaptureCommandEnds(const DriverContext& ctx, bool flushNow);

} // namespace merix
