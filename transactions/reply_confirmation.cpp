#include "transactions/reply_confirmation.h"

#include <cstring>
#include <span>

#include "serial/crc16.h"
#include "serial/function_table.h"
#include "serial/protocol.h"
#include "services/host_log.h"
#include "services/line_statistics.h"

namespace merix {

namespace {

/// What an exception's code says of the request, with the code's detail line. `function` is
/// the reply's, with the exception bit.
ReplyVerdict CodeVerdict(uint8_t code, uint8_t function, int32_t station) {
    switch (code) {
    case kIllegalFunction:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Illegal function (PLC %d)", station);
        return ReplyVerdict::kException;
    case kIllegalDataAddress:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Illegal data address (PLC %d)", station);
        // The event functions answer "no such data" when a block cannot be repeated or the
        // event count does not match; the event transaction handles those itself.
        return IsEventFunction(function & ~kExceptionBit) ? ReplyVerdict::kException
                                                          : ReplyVerdict::kRefused;
    case kIllegalDataValue:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Illegal data value (PLC %d)", station);
        return ReplyVerdict::kRefused;
    case kDeviceFailure:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Failure in associated device (PLC %d)",
            station);
        return ReplyVerdict::kNoService;
    case kAcknowledge:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Acknowledge (processing) (PLC %d)",
            station);
        return ReplyVerdict::kRefused;
    case kBusy:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Busy, rejected message (PLC %d)", station);
        return ReplyVerdict::kRefused;
    case kNegativeAcknowledge:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Negative acknowledgment (PLC %d)", station);
        return ReplyVerdict::kException;
    case kMemoryParityError:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol) Memory parity error (PLC %d)", station);
        return ReplyVerdict::kException;
    default:
        Log(kLogDetail, "MERIX> Receive() (MB-protocol error) (PLC %d)", station);
        return ReplyVerdict::kException;
    }
}

bool CrcGood(const DriverContext& ctx, RetryState& pass) {
    if (CrcMatches(ctx.rxBuf, static_cast<int>(pass.replyLength))) {
        return true;
    }
    CountLine(ctx, pass.station, LineCounter::kCrc);
    pass.why = TraceWhy::kCrcBad;
    return false;
}

ReplyVerdict Refusal(RetryState& pass) {
    pass.why = TraceWhy::kException;
    return ReplyVerdict::kException;
}

/// An event reply: its CRC first. A refused set-up is the set-up's answer, which the event
/// read takes as it takes the state bitmap.
ReplyVerdict ConfirmEventReply(const DriverContext& ctx, RetryState& pass) {
    if (!CrcGood(ctx, pass)) {
        return ReplyVerdict::kCrcBad;
    }
    const uint8_t f = ctx.rxBuf[1];
    if ((f & kExceptionBit) != 0 && f != kInitRefused) {
        return Refusal(pass);
    }
    return ReplyVerdict::kConfirmed;
}

/// A single write's reply repeats the request's address and value.
bool EchoMatches(const DriverContext& ctx) {
    constexpr std::size_t kEchoed = kEchoReplyLength - 4; // no station, function or CRC
    return std::memcmp(ctx.rxBuf + 2, ctx.txBuf + 2, kEchoed) == 0;
}

} // namespace

ReplyVerdict ConfirmReply(const DriverContext& ctx, RetryState& pass, uint64_t valuesEnd) {
    const uint8_t f = ctx.rxBuf[1];
    const bool exception = (f & kExceptionBit) != 0;
    // Taken whole, an exception is counted, and its code may settle the attempt at once.
    // (An event read takes an exception cut after its function too; its CRC then fails.)
    if (exception && pass.replyLength == kExceptionReplyLength) {
        CountLine(ctx, pass.station, LineCounter::kException);
        const ReplyVerdict byCode = CodeVerdict(ctx.rxBuf[2], f, pass.station);
        if (byCode != ReplyVerdict::kException) {
            return byCode;
        }
    }
    const uint8_t asked = ctx.txBuf[1];
    if (IsEventFunction(asked)) {
        return ConfirmEventReply(ctx, pass);
    }
    if (exception) {
        return Refusal(pass);
    }
    if (!CrcGood(ctx, pass)) {
        return ReplyVerdict::kCrcBad;
    }
    const FunctionRow* row = FindFunction(asked);
    if (row != nullptr && row->reply == ReplyLayout::kEcho && !EchoMatches(ctx)) {
        // A stale frame, or the controller did something other than what was asked.
        CountLine(ctx, pass.station, LineCounter::kWrong);
        pass.why = TraceWhy::kEchoDiffers;
        return ReplyVerdict::kEchoDiffers;
    }
    if (pass.replyLength < valuesEnd) {
        return ReplyVerdict::kCountShort;
    }
    return ReplyVerdict::kConfirmed;
}

} // namespace merix
