// A timed, decoded account of the line as the driver sees it, written to a file that the
// initialisation file names (TRACE = <file>): every request with its planned and measured line
// hold, every reply or silence with the turnaround and the steps in which it arrived, and the
// outcome of each attempt.
//
// The trace must not disturb the timing it records. While a frame is sent and its reply
// received, the hooks below only copy bytes and time stamps into memory kept per instance;
// the lines are formatted into fixed buffers and written when the attempt is over: when the
// next request begins (before its inter-frame gap) or when the host's command returns.
// Nothing allocates after the file is opened. Instances without a trace pay one look-up per
// hook, and no platform call at all.
//
// The memory lives outside the host's context record, whose layout is fixed: a small table
// keyed by the context's address.
#pragma once

#include <cstdint>
#include <span>

#include "merix/vpi.h"

namespace merix {

/// Starts the trace of `ctx` into the file `path` (appending), written up to `maxMiB` before
/// it becomes the one older file kept, or stops it when `path` is empty. A file that cannot
/// be opened gets one level-32 line; the driver goes on without a trace.
void StartLineTrace(DriverContext& ctx, const char* path, int maxMiB);
/// Ends the trace and the capture held at `ctx`'s address, whatever instance they were, and
/// those an earlier context of its instance (`ctx.vpiNumber`) left open.
void RetireLineRecordings(const DriverContext& ctx);
/// Writes what is pending and closes the trace of `ctx`, if any.
void StopLineTrace(const DriverContext& ctx);
/// Closes every trace: the library is stopped for good.
void StopAllLineTraces();

/// True when `ctx` is traced.
bool LineTraced(const DriverContext& ctx);

/// How an attempt ended, as the code that made it decided.
enum class TraceOutcome : uint8_t {
    kGood,           ///< the reply was taken
    kRetry,          ///< not good, and another attempt follows
    kFailed,         ///< not good, and the command gives up
    kNoReplyAwaited, ///< a request that is answered by nobody (a broadcast) or not listened to
};

/// Why an attempt was not good. kNone: as the receiver said when it classified the reply.
enum class TraceWhy : uint8_t {
    kNone,
    kSendFailed,
    kNoReply,
    kCutShort,
    kOtherStation,
    kOtherFunction,
    kRefused,   ///< an exception reply the receiver refused
    kException, ///< an exception reply the transaction did not take
    kCrcBad,
    kEchoDiffers,
    kLineEcho, ///< the line's echo of the request did not come back whole and unchanged
};

// Hooks of the transmitter and the receiver. Each does nothing when `ctx` is not traced, and
// tells the line capture (serial/line_capture.h) too.

/// A request is about to be sent: the attempt before it, if any, is written out.
void TraceSendBegins(const DriverContext& ctx);
/// The request `frame` (CRC included) went out, or failed to; the lines are back in receive
/// state. calcDelay and pracDelay of `ctx` hold the planned and measured hold.
void TraceSent(const DriverContext& ctx, std::span<const uint8_t> frame, bool written);
/// The receiver starts to wait for a reply.
void TraceReceiveBegins(const DriverContext& ctx);
/// One read of the receiver returned: `total` bytes of the reply are in ctx.rxBuf now.
void TraceReceiveStep(const DriverContext& ctx, uint32_t total);
/// The receiver classified the reply (a ReceiveResult), and said why it was not whole.
void TraceReceiveEnds(const DriverContext& ctx, int result, TraceWhy why);
/// The port saw these framing, parity and overrun errors while the reply was awaited.
void TraceLineErrors(const DriverContext& ctx, uint32_t framing, uint32_t parity, uint32_t overrun);

/// The port reported these errors before a request, on late bytes of the reply `station`
/// (0: none awaited since the open) sent before: a line of their own.
void TraceLateLineErrors(const DriverContext& ctx, int32_t station, uint32_t framing,
                         uint32_t parity, uint32_t overrun);
/// The port was opened again (ReOpenCom, ChangeVpiParams): a line that names it and the way
/// its line direction is switched now.
void TracePortOpened(const DriverContext& ctx);

// What the transactions tell.

/// The attempt in progress ended so; `why` where it was not good for a reason of the
/// transaction's own (kNone: the receiver's reason).
void TraceAttemptEnds(const DriverContext& ctx, TraceOutcome outcome,
                      TraceWhy why = TraceWhy::kNone);
/// The last attempt put `station` into the error state.
void TraceStationPutIntoError(const DriverContext& ctx, int32_t station);

/// The host's command is over: what is pending is written, and the file flushed at most every
/// tenth of a second; at once when `flushNow` (a failed transaction, a port command).
void TraceCommandEnds(const DriverContext& ctx, bool flushNow = false);

} // namespace merix
