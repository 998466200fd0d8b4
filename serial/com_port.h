// Serial port access: small operations on one port handle. Each answers a small code and the
// caller decides what to log; only ComOpen logs, a framing it refuses, with the reason.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace merix {

/// The halves of a line mask (SendMask, RecMask, PortParams::lineMask): DTR on, RTS on.
inline constexpr uint32_t kLineDtr = 0x0101;
inline constexpr uint32_t kLineRts = 0x0202;

/// Codes of this layer.
enum ComResult : int {
    kComOk = 0,
    kComOpenFailed = 1, ///< device cannot be opened / timeouts not set; purge read failed
    kComShortWrite = 2,
    kComGetStateFailed = 4,
    kComSetStateFailed = 5,
    kComFailed = 7, ///< the call failed; for ComRead also: nothing arrived in time
};

struct PortSettings {
    uint16_t baud;
    uint16_t dataBits;
    uint16_t stopBits; ///< 0 one, 1 one and a half, 2 two
    uint16_t parity;   ///< 0 none, 1 odd, 2 even, 3 mark, 4 space
};

/// The read timeout a freshly opened port has until the caller sets the reply timeout.
inline constexpr uint32_t kOpenReadTimeoutMs = 1000;

/// Writes are bounded: ComOpen sets a total write timeout of the frame's time on the wire
/// (each byte's character time, rounded up to whole ms) plus this margin. A port that stops
/// taking bytes then ends the write with a short count instead of holding the thread.
inline constexpr uint32_t kWriteMarginMs = 100;

/// The write timeout's share of each byte, in whole ms: the character time rounded up.
uint32_t WriteTimeoutPerByteMs(const PortSettings& settings);

/// Opens and configures the port for the controller line. `*handle` receives what the open
/// returned in every case, INVALID_HANDLE_VALUE included; on any failure after the open the
/// handle has been closed again. A framing that Windows refuses (WindowsRefusesFraming) is
/// refused on every platform, with a level-32 log line, as code 5 (the SetCommState failure
/// it would be on Windows).
/// A port behind a device server is connected within `connectTimeoutMs`.
int ComOpen(const char* name, const PortSettings& settings, uint16_t lineMask, plat::Handle* handle,
            uint32_t connectTimeoutMs = kOpenReadTimeoutMs);
/// ComOpen's steps after the open: the settings and timeouts of an opened `handle`, closed
/// again on a failure.
int ComConfigure(const char* name, plat::Handle handle, const PortSettings& settings,
                 uint16_t lineMask);
int ComClose(plat::Handle handle);
/// The bytes received and not read yet; 0 when the port cannot tell.
uint32_t ComPending(plat::Handle handle);
/// True when the device behind an open handle is gone (an unplugged USB adapter): the port
/// answers no ClearCommError any more. Clears the device's error state on the way.
bool ComGone(plat::Handle handle);
/// Sets the total read timeout to t x 10 ms and answers the previous one in 10 ms units (0
/// when the timeouts cannot be read or written). A t of 0 or less keeps the timeout in force:
/// a read must never wait without bound.
int ComSetTimeout(plat::Handle handle, int t);
/// Throws away pending input, clearing the device's error state on the way; `cleared`, when
/// given, receives the errors that state held (as flags: 1 each). A port behind a device
/// server drops what has arrived at once, and an RFC 2217 server is asked to purge its own.
int ComPurge(plat::Handle handle, plat::LineErrors* cleared = nullptr);
int ComBreak(uint32_t durationMs, plat::Handle handle);
int ComWrite(plat::Handle handle, const uint8_t* buffer, uint32_t count, uint32_t* written);
/// One read of up to `count` bytes within the total timeout; a short count is success.
int ComRead(plat::Handle handle, uint8_t* buffer, uint32_t count, uint32_t* read);
int ComSleep(uint32_t durationMs);
/// Asks the open port to switch the line direction itself (RTS on while sending); true when it
/// took the mode, false when it refused (the port is left as it was). `*refusal` receives the
/// system error of the call that refused it, 0 when the port took another mode instead.
bool ComTakeRs485(plat::Handle handle, uint32_t* refusal);
/// The line errors since the last call or purge; false when the port cannot report them.
bool ComLineErrors(plat::Handle handle, plat::LineErrors* errors);

} // namespace merix
