// Control API of the fake platform backend: a scripted serial line, a fake clock and
// performance counter, and a record of every call in order. Unit tests only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace merix::fake {

/// One piece of a scripted reply: bytes that arrive, or silence that ends the read in
/// progress as if its total timeout had run out.
struct Piece {
    std::vector<uint8_t> bytes;
    bool silence = false;
    uint64_t atUs = 0; ///< paced replies: when the first byte left arrives (PaceReplies)
    /// When ClearCommError counts the bytes as received: a station answers only after the
    /// request's end and the silence that ends it, an echo while the request is sent.
    uint64_t readyUs = 0;
};
Piece Bytes(std::vector<uint8_t> bytes);
Piece Silence();

/// Back to a fresh machine: no calls recorded, nothing scripted, clock and counter at 0,
/// counter frequency 1 MHz, priority 0.
void Reset();

/// Every platform call so far, e.g. "EscapeCommFunction(5)", "WriteFile(8)", "ReadFile(2)",
/// "SetCommTimeouts(1000)", "SetThreadPriority(15)", "QueryPerformanceCounter".
const std::vector<std::string>& Calls();
/// The recorded calls whose text starts with the prefix.
std::vector<std::string> CallsStartingWith(const std::string& prefix);
void ClearCalls();

/// Bytes already waiting in the input queue.
void SetPending(std::vector<uint8_t> bytes);
/// A reply that arrives after the next WriteFile (one queued reply per write, in order).
void QueueReply(std::vector<Piece> pieces);
/// From now on a reply comes as on a wire: its first byte `turnaroundUs` after its request
/// has left the wire, each further byte one character time later, and a read takes what has
/// arrived when its total timeout runs out. Without it (after Reset()) a reply is there at
/// once, whole.
void PaceReplies(uint64_t turnaroundUs);
/// A reply delivered all at once after the next write.
void QueueReply(std::vector<uint8_t> frame);
/// No reply to the next write.
void QueueSilence();
/// Line errors that the port sees while the reply to the next WriteFile arrives (one entry per
/// write, in order, beside the replies). ClearCommError reports those seen as flags (an
/// overrun as CE_OVERRUN) and TakeLineErrors as counts; either call clears them.
void QueueLineErrors(plat::LineErrors errors);
/// Line errors that the port sees now, on bytes that arrive late (beside SetPending).
void SeeLineErrors(plat::LineErrors errors);
/// With false, TakeLineErrors answers false with ERROR_NOT_SUPPORTED (a port that keeps no
/// error counts) and leaves the errors seen to ClearCommError. True after Reset().
void SetLineErrorsReported(bool reported);
/// Whether the port takes RTS toggle mode (kRtsToggle) in SetCommState. Without it (after
/// Reset(), as most ports) SetCommState refuses the mode with `refusal`, the code its driver
/// chooses: ERROR_INVALID_PARAMETER from serial.sys, 1 from SerCx's 16550 sample, 50 others.
void SetRs485Supported(bool supported, uint32_t refusal = plat::kErrorInvalidParameter);
/// A driver that stores RTS toggle mode, reads it back, and ignores it: a request written in
/// that mode goes out with the transmitter off, so no station hears it and its queued reply
/// never comes.
void SetRs485Ignored(bool ignored);
/// What ConfirmsLineModes() answers: false after Reset(), as on Windows.
void SetConfirmsLineModes(bool confirms);
/// Every frame written so far.
const std::vector<std::vector<uint8_t>>& Written();
/// When each frame of Written() was on the wire, in microseconds of the clock. A UART sends
/// the bytes one character time each from the write, or from the end of the frame before
/// when that is still on the wire; WriteFile returns at once, as Windows' does once the bytes
/// are in the FIFO. The character time comes from the port's DCB.
struct WireSpan {
    uint64_t startUs = 0;
    uint64_t endUs = 0;
};
const std::vector<WireSpan>& WireTimes();
/// Forgets the frames written and the calls made; open ports stay open.
void ClearWritten();

/// The next call of that function fails (FALSE / INVALID_HANDLE_VALUE, GetThreadPriority
/// THREAD_PRIORITY_ERROR_RETURN); `times` calls fail, each leaving `code` for LastError().
void FailNext(const std::string& function, int times = 1, uint32_t code = plat::kErrorGenFailure);

/// The USB adapter behind `name` is pulled out (a surprise removal). Windows keeps the
/// device's objects until the last handle to it is closed, but fails every call on them with
/// a code that the device's driver chooses (usbser: ERROR_BAD_COMMAND, others
/// ERROR_GEN_FAILURE or ERROR_DEVICE_NOT_CONNECTED); the name opens nothing until the adapter
/// comes back. Other ports are not touched.
void Unplug(const std::string& name = "COM1", uint32_t code = plat::kErrorBadCommand);
/// The adapter is plugged in again: `name` opens a new device. A handle of the removed one
/// stays dead until it is closed.
///
/// A network port's name ("tcp://...", "rfc2217://...") opens a port of that kind. Unplug is
/// its server gone (a lost connection, with `code`); after Replug a Reconnect on the handle
/// brings it back to life, and before it Reconnect fails with WSAECONNREFUSED.
void Replug(const std::string& name = "COM1");
/// The name `h` was opened by; empty when it is not open.
std::string OpenedAs(plat::Handle h);
/// Handles open now, dead ones included. A new handle takes the lowest number free, as both
/// Windows and POSIX reuse the numbers of closed handles.
int OpenHandles();

/// From now on WriteFile takes no more bytes (a USB or virtual port that stopped): a write
/// with write timeouts ends when their total has run out, with a short count; one without
/// them never ends, which the fake shows as a clock a whole day on and a failed call.
void StallWrites();
/// The day that a write without a bound takes on a stalled port.
inline constexpr uint64_t kStalledForeverMs = 24ull * 3600 * 1000;

/// Windows' Sleep and timer period instead of an exact Sleep: the clock ticks every 15.625 ms,
/// or every millisecond while a TimeBeginPeriod(1) is outstanding. Sleep(n) counts n ms from
/// the last tick before the call and wakes at the first tick after that: it can end up to a
/// tick early or a tick late.
void SetWindowsSleep(bool on);
/// TimeBeginPeriod calls not yet matched by TimeEndPeriod.
int TimerPeriodRaises();
/// The clock in microseconds (the millisecond clock of AdvanceClock and ClockMs, finer).
uint64_t ClockMicros();
void AdvanceMicros(uint64_t us);
/// From now on each WriteFile returns `us` after its call, its bytes going out only then: a
/// thread preempted in the call, or a busy USB bus.
void DelayWrites(uint64_t us);
/// From now on a network port's server is slow: its name's look-up takes `lookUpMs` (a name
/// server that does not answer: kStalledForeverMs), and the connect after it `connectMs` (a far
/// network; Windows' own retries of a refused connect). An open or Reconnect gets both within
/// its bound, or fails when the bound runs out, the look-up's with WSATRY_AGAIN, the connect's
/// with WSAETIMEDOUT.
void SlowServer(uint64_t lookUpMs, uint64_t connectMs);
/// From now on the line hears every request: its bytes come back while it is sent, before any
/// reply, as on a transceiver whose receiver stays on.
void EchoRequests(bool on);
/// The next WriteFile writes only this many bytes.
void ShortWriteNext(uint32_t bytes);
/// CreateFileA fails for names not in this list, when the list is not empty.
void SetExistingPorts(std::vector<std::string> names);

/// The counter: frequency (0 = none), and ticks added by each read of it.
void SetCounter(int64_t frequency, int64_t ticksPerRead);
/// The process clock shows only multiples of this many milliseconds.
void SetClockGranularity(uint64_t ms);
void AdvanceClock(uint64_t ms);
/// Result of SetThreadPriority (1 success, 0 failure).
void SetPriorityResult(int result);
int CurrentPriority();
/// Local time returned by Now().
void SetNow(const plat::LocalTime& now);

/// The port's timeouts and state as the driver last set them.
plat::CommTimeouts Timeouts();
plat::Dcb CommState();
/// Any handle open.
bool PortOpen();

} // namespace merix::fake
