#include "serial/receiver.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "serial/com_port.h"
#include "serial/line_trace.h"
#include "serial/protocol.h"
#include "services/host_log.h"
#include "services/instance_room.h"
#include "services/line_statistics.h"

namespace merix {

namespace {

/// Takes bytes of the reply that the echo check read off the port already, at most `count`.
uint32_t TakeEarly(DriverContext& ctx, uint8_t* out, uint32_t count) {
    InstanceRoom* room = FindInstanceRoom(ctx);
    if (room == nullptr || room->earlyAt >= room->earlyLength) {
        return 0;
    }
    const uint32_t n = std::min(count, room->earlyLength - room->earlyAt);
    std::memcpy(out, room->early + room->earlyAt, n);
    room->earlyAt += n;
    return n;
}

// Each read, with the reply bytes in the buffer after it, for the line trace.
int TracedRead(DriverContext& ctx, uint32_t offset, uint32_t count, uint32_t* read) {
    const uint32_t early = TakeEarly(ctx, ctx.rxBuf + offset, count);
    int rc = kComOk;
    *read = 0;
    if (early < count) {
        rc = ComRead(ctx.hf, ctx.rxBuf + offset + early, count - early, read);
    }
    if (early > 0 && rc != kComOk) {
        rc = kComOk; // what had come is the read's, whatever came after it
        *read = 0;
    }
    *read += early;
    TraceReceiveStep(ctx, offset + *read);
    return rc;
}

/// One reception: whom it waits for, what it tolerates, and what it has accepted so far.
struct Reception {
    int32_t station;
    DriverContext& ctx;
    uint8_t requestFunction; ///< byte 1 of the request: the function the reply must carry
    bool tolerant;           ///< fReadEvent: a read failing after the header is not the end
    uint32_t* count;         ///< the bytes accepted
    TraceWhy* why;           ///< why the reply is not whole, for the trace
};

/// Where the rest of a normal or echo reply goes in the buffer, and how long it is.
struct ReplyRest {
    uint32_t start;
    uint32_t length;
};

/// The station and function bytes. Nothing when both came from the station asked: the
/// reception goes on; otherwise its result.
std::optional<ReceiveResult> ReceiveHeader(const Reception& rx) {
    const uint8_t* buf = rx.ctx.rxBuf;
    uint32_t iRead = 0;
    if (TracedRead(rx.ctx, 0, 2, &iRead) != kComOk) {
        CountLine(rx.ctx, rx.station, LineCounter::kSilence);
        *rx.why = TraceWhy::kNoReply;
        return kRxFailed;
    }
    // The turnaround is the answering station's, whichever station was asked.
    NoteFirstReplyBytes(rx.ctx, buf[0], iRead);
    if (buf[0] != static_cast<uint8_t>(rx.station)) {
        Log(kLogDetail, "MERIX> Receive() Wrong plc addr.%xh received", buf[0]);
        CountLine(rx.ctx, rx.station, LineCounter::kWrong);
        *rx.why = TraceWhy::kOtherStation;
        return kRxWrong;
    }
    // From here on, a reply that ends early is cut short.
    *rx.why = TraceWhy::kCutShort;
    if (iRead == 1) {
        Log(kLogDetail, "MERIX> Receive() Length Wrong 2 >iRead = %u (PLC %d)", iRead, rx.station);
        Log(kLogDetail, "MERIX> Receive() Only right plc addr.%xh received", buf[0]);
        return kRxWrong;
    }
    *rx.count = 2;
    return std::nullopt;
}

/// The code and CRC of an exception reply; what its code means is for ConfirmReply.
ReceiveResult ReceiveException(const Reception& rx) {
    const uint8_t* buf = rx.ctx.rxBuf;
    const uint8_t f = buf[1];
    if (f != (rx.requestFunction | kExceptionBit)) {
        Log(kLogDetail, "MERIX> Receive() Different function with 0x80 returned (PLC %d)",
            rx.station);
    }
    uint32_t iRead = 0;
    const int rc = TracedRead(rx.ctx, 2, 3, &iRead);
    if (rc != kComOk) {
        if (rx.tolerant) {
            Log(kLogDetail, "MERIX> Receive() %xh Fail rcv rest of Reply (PLC %d)", f, rx.station);
            return kRxFrame; // taken as it is: the event read checks it
        }
        Log(kLogDetail, "MERIX> Receive() 0x80 : RukComRead() error %d iRead %d (PLC %d)", rc,
            iRead, rx.station);
        return kRxFailed;
    }
    if (iRead < 3) {
        // iRead is 1 or 2 here: positions iRead and iRead + 1 are the last two bytes received.
        Log(kLogDetail, "MERIX> Receive(),%xh : Length iRead = %u, (%d,%d) (PLC %d)", f, iRead,
            buf[iRead], buf[iRead + 1], rx.station);
        return kRxWrong;
    }
    *rx.count += 3;
    *rx.why = TraceWhy::kNone;
    return kRxFrame;
}

/// How much follows the header of a normal or echo reply, as the table of functions lays out
/// the reply to the request: a write's fixed echo, or the byte count read from the line plus
/// the CRC. Nothing when the byte count could not be read.
std::optional<ReplyRest> ReceiveByteCount(const Reception& rx) {
    const uint8_t* buf = rx.ctx.rxBuf;
    if (const std::optional<std::size_t> fixed =
            ExpectedReplyLength(rx.requestFunction, std::span(buf, 2))) {
        return ReplyRest{2, static_cast<uint32_t>(*fixed) - 2};
    }
    uint32_t iRead = 0;
    if (TracedRead(rx.ctx, 2, 1, &iRead) != kComOk) {
        if (!rx.tolerant) {
            Log(kLogDetail, "MERIX> Receive() Length Reply iRead %u, fReadEvent %d (PLC %d)", iRead,
                0, rx.station);
            return std::nullopt;
        }
        // Tolerated: go on with whatever the buffer holds there; at most 255 + 2 bytes
        // follow, which still fit the reply buffer.
    }
    *rx.count += 1;
    static_assert(kReplyOverhead + 255 <= kRxBufSize, "the longest reply fits the reply buffer");
    // A request of no known reply layout is answered with a byte count, as a read is.
    const std::size_t length = ExpectedReplyLength(rx.requestFunction, std::span(buf, 3))
                                   .value_or(kReplyOverhead + buf[2]);
    return ReplyRest{3, static_cast<uint32_t>(length) - 3};
}

/// The data and the CRC of a normal or echo reply, in one read.
ReceiveResult ReceiveData(const Reception& rx, ReplyRest rest) {
    const uint8_t* buf = rx.ctx.rxBuf;
    uint32_t iRead = 0;
    const int rc = TracedRead(rx.ctx, rest.start, rest.length, &iRead);
    if (rc == kComOk || rx.tolerant) {
        *rx.count += iRead;
        if (iRead == rest.length) {
            *rx.why = TraceWhy::kNone;
            return kRxFrame;
        }
        // The rest starts at 2 or later: neither position falls before the buffer.
        Log(kLogDetail, "MERIX> Receive() iRead=%d <> iToRead=%d (%d,%d) (PLC %d)", iRead,
            rest.length, buf[rest.start + iRead - 2], buf[rest.start + iRead - 1], rx.station);
        return kRxWrong;
    }
    Log(kLogDetail, "MERIX> Receive() rc=%d, fReadEvent=%d, iRead=%d (PLC %d)", rc, 0, iRead,
        rx.station);
    return kRxFailed;
}

/// Reads a reply as its bytes say how long it is: station and function, then an exception's
/// code, or the byte count (or a write's fixed echo), then the data with the CRC.
ReceiveResult ReceiveReply(int32_t station, DriverContext& ctx, uint32_t* count, TraceWhy* why) {
    *count = 0;
    const Reception rx{station, ctx, ctx.txBuf[1], ctx.fReadEvent != 0, count, why};
    if (const std::optional<ReceiveResult> ended = ReceiveHeader(rx)) {
        return *ended;
    }
    const uint8_t f = ctx.rxBuf[1];
    if ((f & kExceptionBit) != 0) {
        return ReceiveException(rx);
    }
    if (f != rx.requestFunction) {
        Log(kLogDetail, "MERIX> Receive() Different function returned (PLC %d)", station);
        CountLine(ctx, station, LineCounter::kWrong);
        *why = TraceWhy::kOtherFunction;
        return kRxWrong;
    }
    const std::optional<ReplyRest> rest = ReceiveByteCount(rx);
    if (!rest) {
        return kRxFailed;
    }
    return ReceiveData(rx, *rest);
}

} // namespace

ReceiveResult Receive(int32_t station, DriverContext& ctx, uint32_t* count, TraceWhy* why) {
    TraceReceiveBegins(ctx);
    *why = TraceWhy::kNone;
    return ReceiveReply(station, ctx, count, why);
}

void EndReception(DriverContext& ctx, int32_t station, ReceiveResult result, TraceWhy why) {
    if (result != kRxFrame && why == TraceWhy::kCutShort) {
        CountLine(ctx, station, LineCounter::kShort);
    }
    TraceReceiveEnds(ctx, result, why);
}

} // namespace merix
