#include "serial/receiver.h"

#include "serial/com_port.h"
#include "serial/line_trace.h"
#include "serial/protocol.h"
#include "services/host_log.h"
#include "services/line_statistics.h"

namespace merix {

namespace {

constexpr uint32_t kEchoRest = 6; // address and value echoed, then the CRC

bool IsEventFunction(uint8_t function) {
    return function == kInitRefused || function == kNextRefused || function == kRepeatRefused;
}

ReceiveResult ExceptionVerdict(uint8_t code, uint8_t function, int32_t station) {
    switch (code) {
    case 1:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Illegal function (PLC %d)", station);
        return kRxFrame;
    case 2:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Illegal data address (PLC %d)", station);
        // The event functions answer "no such data" when a block cannot be repeated or the
        // event count does not match; the event transaction handles those itself.
        return IsEventFunction(function) ? kRxFrame : kRxRefused;
    case 3:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Illegal data value (PLC %d)", station);
        return kRxRefused;
    case 4:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Failure in associated device (PLC %d)",
            station);
        return kRxFailed;
    case 5:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Acknowledge (processing) (PLC %d)",
            station);
        return kRxRefused;
    case 6:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Busy, rejected message (PLC %d)", station);
        return kRxRefused;
    case 7:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Negative acknowledgment (PLC %d)", station);
        return kRxFrame;
    case 8:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Memory parity error (PLC %d)", station);
        return kRxFrame;
    default:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol error) (PLC %d)", station);
        return kRxFrame;
    }
}

// Each read, with the reply bytes in the buffer after it, for the line trace.
int TracedRead(DriverContext& ctx, uint32_t offset, uint32_t count, uint32_t* read) {
    const int rc = ComRead(ctx.hf, ctx.rxBuf + offset, count, read);
    TraceReceiveStep(ctx, offset + *read);
    return rc;
}

/// The receiver's verdict on an exception reply, and why it is not whole for the trace.
ReceiveResult ExceptionResult(uint8_t code, uint8_t function, int32_t station, TraceWhy* why) {
    const ReceiveResult result = ExceptionVerdict(code, function, station);
    *why = result == kRxRefused  ? TraceWhy::kRefused
           : result == kRxFailed ? TraceWhy::kException
                                 : TraceWhy::kNone;
    return result;
}

ReceiveResult ReceiveReply(int32_t station, DriverContext& ctx, uint32_t* count, TraceWhy* why) {
    uint8_t* buf = ctx.rxBuf;
    const uint8_t requestFunction = ctx.txBuf[1];
    const bool tolerant = ctx.fReadEvent != 0;
    *count = 0;

    uint32_t iRead = 0;
    if (TracedRead(ctx, 0, 2, &iRead) != kComOk) {
        CountLine(ctx, station, LineCounter::kSilence);
        *why = TraceWhy::kNoReply;
        return kRxFailed;
    }
    // The turnaround is the answering station's, whichever station was asked.
    NoteFirstReplyBytes(ctx, buf[0], iRead);
    if (buf[0] != static_cast<uint8_t>(station)) {
        Log(kLogDetail, "MERIX> Receive() Wrong plc addr.%xh received", buf[0]);
        CountLine(ctx, station, LineCounter::kWrong);
        *why = TraceWhy::kOtherStation;
        return kRxWrong;
    }
    // From here on, a reply that ends early is cut short.
    *why = TraceWhy::kCutShort;
    if (iRead == 1) {
        Log(kLogDetail, "MERIX> Receive() Length Wrong 2 >iRead = %u (PLC %d)", iRead, station);
        Log(kLogDetail, "MERIX> Receive() Only right plc addr.%xh received", buf[0]);
        return kRxWrong;
    }
    *count = 2;
    const uint8_t f = buf[1];

    if ((f & kExceptionBit) != 0) {
        if (f != (requestFunction | kExceptionBit)) {
            Log(kLogDetail, "MERIX> Receive() Different function with 0x80 returned (PLC %d)",
                station);
        }
        const int rc = TracedRead(ctx, 2, 3, &iRead);
        if (rc != kComOk) {
            if (tolerant) {
                Log(kLogDetail, "MERIX> Receive() %xh Fail rcv rest of Reply (PLC %d)", f, station);
                return kRxFrame; // taken as it is: the event read checks it
            }
            Log(kLogDetail, "MERIX> Receive() 0x80 : RukComRead() error %d iRead %d (PLC %d)", rc,
                iRead, station);
            return kRxFailed;
        }
        if (iRead < 3) {
            Log(kLogDetail, "MERIX> Receive(),%xh : Length iRead = %u, (%d,%d) (PLC %d)", f, iRead,
                buf[iRead], buf[iRead + 1], station);
            return kRxWrong;
        }
        *count += 3;
        CountLine(ctx, station, LineCounter::kException);
        return ExceptionResult(buf[2], f, station, why);
    }

    if (f != requestFunction) {
        Log(kLogDetail, "MERIX> Receive() Different function returned (PLC %d)", station);
        CountLine(ctx, station, LineCounter::kWrong);
        *why = TraceWhy::kOtherFunction;
        return kRxWrong;
    }
    uint32_t start = 2;
    uint32_t iToRead = kEchoRest;
    if (ctx.fixedReply != 1) {
        if (TracedRead(ctx, 2, 1, &iRead) != kComOk) {
            if (!tolerant) {
                Log(kLogDetail, "MERIX> Receive() Length Reply iRead %u, fReadEvent %d (PLC %d)",
                    iRead, 0, station);
                return kRxFailed;
            }
            // Tolerated: go on with whatever the buffer holds there; at most 255 + 2 bytes
            // follow, which still fit the reply buffer.
        }
        *count += 1;
        start = 3;
        iToRead = static_cast<uint32_t>(buf[2]) + 2;
    }
    static_assert(3 + 255 + 2 <= kRxBufSize, "the longest reply fits the reply buffer");

    const int rc = TracedRead(ctx, start, iToRead, &iRead);
    if (rc == kComOk || tolerant) {
        *count += iRead;
        if (iRead == iToRead) {
            *why = TraceWhy::kNone;
            return kRxFrame;
        }
        Log(kLogDetail, "MERIX> Receive() iRead=%d <> iToRead=%d (%d,%d) (PLC %d)", iRead, iToRead,
            buf[start + iRead - 2], buf[start + iRead - 1], station);
        return kRxWrong;
    }
    Log(kLogDetail, "MERIX> Receive() rc=%d, fReadEvent=%d, iRead=%d (PLC %d)", rc, 0, iRead,
        station);
    return kRxFailed;
}

} // namespace

ReceiveResult Receive(int32_t station, DriverContext& ctx, uint32_t* count) {
    TraceReceiveBegins(ctx);
    TraceWhy why = TraceWhy::kNone;
    const ReceiveResult result = ReceiveReply(station, ctx, count, &why);
    if (result != kRxFrame && why == TraceWhy::kCutShort) {
        CountLine(ctx, station, LineCounter::kShort);
    }
    TraceReceiveEnds(ctx, result, why);
    return result;
}

} // namespace merix
