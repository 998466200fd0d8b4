#include "transactions/transaction_runner.h"

#include "serial/line_direction.h"
#include "serial/line_echo.h"
#include "serial/line_errors.h"
#include "serial/protocol.h"
#include "serial/transmitter.h"
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "transactions/station_demotion.h"
#include "transactions/station_entry.h"

namespace merix {

Then FixedRequestSteps::SendFailed(int sent) {
    Log(kLogDetail, texts_.sendFailed, sent);
    return Then::kNextAttempt;
}

Then FixedRequestSteps::ReceiveFailed(ReceiveResult) {
    if (pass_.result != kPassWrongReply) {
        Log(kLogDetail, texts_.receiveFailed, pass_.RetryNumber());
    }
    return Then::kNextAttempt;
}

namespace {

/// What the last attempt of a transaction that failed for good met, for the demotion's line.
const char* FailureText(const DriverContext& ctx, const RetryState& pass) {
    switch (pass.why) {
    case TraceWhy::kSendFailed:
        return "a request that could not be sent";
    case TraceWhy::kCrcBad:
        return "a bad CRC";
    case TraceWhy::kLineEcho:
        return "a line echo missing or changed";
    default:
        break;
    }
    // The receiver's own reasons reach only the trace; what its reply left tells them apart.
    if (pass.replyLength >= 3 && (ctx.rxBuf[1] & kExceptionBit) != 0) {
        return "an exception reply";
    }
    return pass.replyLength > 0 ? "a reply cut short" : "no answer";
}

} // namespace

void PutIntoError(DriverContext& ctx, const RetryState& pass) {
    const int32_t station = pass.station;
    if (!HasStationEntry(station)) {
        return;
    }
    if (ctx.plcState[station] == kCommunicating) {
        TraceStationPutIntoError(ctx, station);
    }
    ctx.plcState[station] = kInError;
    Demote(ctx, station, FailureText(ctx, pass));
}

namespace {

/// The attempt's request went out: its echo, where the line echoes, then the reply. `heard`
/// becomes true when a station sent a byte.
Then AwaitReply(DriverContext& ctx, RetryState& pass, TransactionSteps& steps, bool& heard) {
    pass.RequestSent(ctx);
    const auto length = static_cast<uint32_t>(steps.RequestLength()) + 2; // with its CRC
    if (!TakeLineEcho(ctx, pass.station, length)) {
        pass.result = kPassFailed;
        pass.why = TraceWhy::kLineEcho;
        pass.replyLength = 0;
        return steps.ReceiveFailed(kRxFailed);
    }
    TraceWhy rxWhy = TraceWhy::kNone;
    ReceiveResult received = Receive(pass.station, ctx, &pass.replyLength, &rxWhy);
    if (TakeLateLineEcho(ctx, length, pass.replyLength)) {
        received = Receive(pass.station, ctx, &pass.replyLength, &rxWhy); // the reply behind it
    }
    ReplyVerdict verdict = ReplyVerdict::kConfirmed;
    if (received == kRxFrame) {
        verdict = ConfirmReply(ctx, pass, steps.ValuesEnd());
        // A refusing code ends the attempt as a reply that did not arrive would.
        if (verdict == ReplyVerdict::kRefused) {
            received = kRxRefused;
            rxWhy = TraceWhy::kRefused;
        } else if (verdict == ReplyVerdict::kNoService) {
            received = kRxFailed;
            rxWhy = TraceWhy::kException;
        }
    }
    EndReception(ctx, pass.station, received, rxWhy);
    heard = heard || received != kRxFailed || pass.replyLength > 0;
    TakeLineErrors(ctx, pass.station);
    if (received != kRxFrame) {
        pass.result = PassOf(received); // why: as the reception told the trace
        return steps.ReceiveFailed(received);
    }
    return steps.FrameArrived(verdict);
}

/// The attempts of one transaction; true when a station sent at least one byte in any.
bool Attempts(DriverContext& ctx, const RetryTexts& texts, RetryState& pass,
              TransactionSteps& steps) {
    bool heard = false;
    do {
        if (!pass.Begin(ctx, texts)) {
            pass.result = kPassWrongReply;
            return heard;
        }
        pass.why = TraceWhy::kNone;
        steps.BeforeSend();
        Then then = Then::kNextAttempt;
        const int sent = SendRequest(ctx, ctx.txBuf, steps.RequestLength());
        if (sent != 0) {
            pass.result = kPassFailed;
            pass.why = TraceWhy::kSendFailed;
            then = steps.SendFailed(sent);
        } else {
            then = AwaitReply(ctx, pass, steps, heard);
        }
        const bool over = then == Then::kStop || pass.Over();
        TraceAttemptEnds(ctx,
                         pass.result == kPassOk ? TraceOutcome::kGood
                         : over                 ? TraceOutcome::kFailed
                                                : TraceOutcome::kRetry,
                         pass.why);
        if (then == Then::kStop) {
            return heard;
        }
    } while (!pass.Done());
    return heard;
}

} // namespace

void RunAttempts(DriverContext& ctx, const RetryTexts& texts, RetryState& pass,
                 TransactionSteps& steps) {
    NoteTransactionHeard(ctx, Attempts(ctx, texts, pass, steps));
}

} // namespace merix
