#include "transactions/event_polling.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "merix/qorlib.h"
#include "serial/line_errors.h"
#include "serial/protocol.h"
#include "serial/receiver.h"
#include "serial/transmitter.h"
#include "services/host_log.h"
#include "services/host_result.h"
#include "services/line_statistics.h"
#include "transactions/delivered_blocks.h"
#include "transactions/event_delivery.h"
#include "transactions/retry_pass.h"
#include "transactions/station_demotion.h"
#include "transactions/station_entry.h"
#include "transactions/transaction_runner.h"
#include "transactions/value_buffer.h"

namespace merix {

namespace {

constexpr RetryTexts kEventTexts{"MERIX> ReadEvent() : sRetry=%d, iRlen=%d",
                                 "MERIX> ReadEvent() Delay : Calc. %.3f, Prac. %.3f",
                                 "MERIX> ReadEvent() Wrong receive (still %d tries)"};

/// The host's event gates of the station that belong to this instance.
uint32_t CountEventGates(const DriverContext& ctx, int32_t st) {
    GateDefRecord templ{};
    templ.kind = 1;
    std::snprintf(templ.address, sizeof templ.address, "E%02d", st);
    uint32_t count = 0;
    int32_t found = 0;
    int32_t start = 0;
    while (HostResult(QorFindGateDef(0, start, &templ, 2, &found)) == 0) {
        if (found < start) {
            break; // the host went backwards: stop rather than loop for ever
        }
        GateDefRecord def{};
        QorGetGateDef(0, found, &def);
        if (def.driverIndex == ctx.vpiNumber - 1) {
            ++count;
        }
        if (found == INT32_MAX) {
            break; // the last index there is
        }
        start = found + 1;
    }
    return count;
}

bool OverflowMarker(const uint8_t* rx, uint32_t n) {
    return EndsInOverflowMarker(std::span(rx + 3, n));
}

uint32_t RecordBytes(const uint8_t* rx, uint32_t n) {
    return static_cast<uint32_t>(EventRecordBytes(std::span(rx + 3, n)));
}

/// A read that fails for good after asking for a repeat leaves the repeat to the next read:
/// a 0x42 may have taken a block off the controller that never arrived here, and a fresh
/// 0x42 would pass over it. Asking again is safe: a block already delivered is recognised.
int32_t FailRead(DriverContext& ctx, int32_t st) {
    if (ctx.fEF[st] == 0 && ctx.txBuf[1] == kEventRepeat) {
        ctx.fRE[st] = 1;
    }
    return kResultFailed;
}

/// The controller lost events: alert the operator, take the block off the controller and
/// re-initialise at the next read.
void HandleOverflow(CallBlock* cb, int32_t st) {
    DriverContext& ctx = *cb->context;
    const auto& gate = *static_cast<const GateAccessRecord*>(cb->params);
    Log(kLogDetail, "MERIX> ReadEvent() Buffer Overflow detected for PLC %d", st);
    char text[64];
    std::snprintf(text, sizeof text, "Overflow of event buffer Station Number %02d", st);
    const int rc = QorStartAlert(0, "OVF", text, 20, 0x40000000u, 10, 0, 48, 0, 0, 1, 0xFFFF,
                                 &ctx.ovfAlert[st]);
    const int length = BuildEventRequest(gate, ctx.txBuf, cb);
    // Its reply is thrown away unread: the set-up that follows empties the buffer anyway.
    const int sent = SendRequest(ctx, ctx.txBuf, length);
    TraceAttemptEnds(ctx, sent == 0 ? TraceOutcome::kNoReplyAwaited : TraceOutcome::kFailed,
                     sent == 0 ? TraceWhy::kNone : TraceWhy::kSendFailed);
    // Its bytes and their line errors are the station's, read or not.
    TakeLineErrors(ctx, st);
    PurgeStaleInput(ctx);
    ctx.ovfPending[st] = 1;
    Log(kLogDetail, "MERIX> ReadEvent() Exits OVF Loop rc=%i ", rc & 0xFFFF);
}

} // namespace

int BuildEventRequest(const GateAccessRecord& gate, uint8_t* frame, CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    const int32_t st = gate.station;
    if (!HasStationEntry(st)) {
        return 0; // no flags to choose by; ReadEvent refuses such a station before this
    }
    frame[0] = static_cast<uint8_t>(st);
    if (ctx.fEF[st] == 1) {
        const uint32_t count = CountEventGates(ctx, st);
        Log(kLogSummary, "BuildEventRequest() %d events found for PLC %d,Vpi %d", count, st,
            ctx.vpiNumber);
        ctx.eventCount[st] = count;
        frame[1] = kEventInit;
        frame[2] = kEventSetUpFieldSize;
        frame[3] = 0x00;
        frame[4] = 0x00;
        frame[5] = static_cast<uint8_t>(count >> 8);
        frame[6] = static_cast<uint8_t>(count);
        return 7;
    }
    if (ctx.fRE[st] == 1) {
        frame[1] = kEventRepeat;
        ctx.fRE[st] = 0;
        return 2;
    }
    frame[1] = kEventNext;
    return 2;
}

namespace {

/// One event read: its own steps in the attempt loop that every transaction shares. A step
/// that ends the read sets `done_` with the read's result and stops the loop; otherwise the
/// next attempt follows, as the retry discipline allows.
class EventRead final : public TransactionSteps {
public:
    explicit EventRead(CallBlock* cb)
        : cb_(cb), ctx_(*cb->context), gate_(*static_cast<const GateAccessRecord*>(cb->params)),
          st_(gate_.station), pass_{.station = st_} {}

    int32_t Run();

    int RequestLength() const override { return length_; }
    Then SendFailed(int sent) override;
    Then ReceiveFailed(ReceiveResult received) override;
    Then FrameArrived(ReplyVerdict verdict) override;

private:
    int32_t Transact();
    void RecoverFromCrc();
    void RecoverFromRefusal();
    void TakeBlock();

    /// The last try failed (its line is logged): the station goes into error.
    void GiveUp() {
        PutIntoError(ctx_, pass_);
        Finish(FailRead(ctx_, st_));
    }
    /// The controller has no block to repeat: the next read asks for the next one. The
    /// refusal is the read's answer, so the attempt is a good one.
    void RepeatRefused() {
        pass_.result = kPassOk;
        pass_.why = TraceWhy::kNone;
        ctx_.fRE[st_] = 0;
        BuildEventRequest(gate_, ctx_.txBuf, cb_);
        Finish(0);
    }
    /// A reply came but was bad, on the last try: the controller may have taken a block off
    /// its buffer for it, so the next read asks for the repeat, whatever this request was.
    void KeepForRepeat() {
        if (ctx_.fEF[st_] == 0) {
            ctx_.fRE[st_] = 1;
        }
    }
    /// The block may have been taken off the controller: the next pass asks for it again.
    void AskForRepeat() {
        ctx_.fRE[st_] = 1;
        length_ = BuildEventRequest(gate_, ctx_.txBuf, cb_);
    }
    void Finish(int32_t result) { done_ = result; }

    CallBlock* cb_;
    DriverContext& ctx_;
    const GateAccessRecord& gate_;
    const int32_t st_;
    int length_ = 0;
    RetryState pass_;
    const uint8_t* block_ = nullptr;
    uint32_t blockLength_ = 0;
    bool overflow_ = false; ///< the block carried the overflow marker
    std::optional<int32_t> done_;
};

int32_t EventRead::Run() {
    if (!HasStationEntry(st_)) {
        Log(kLogError, "MERIX> ReadEvent() PLC %d is outside 0..%d: event read refused", st_,
            kStationCount - 1);
        return kResultFailed;
    }
    if (ctx_.plcState[st_] == kSwitchedOff) {
        Log(kLogDetail, "MERIX> ReadEvent() Communication with PLC %d switched OFF", st_);
        return kResultFailed;
    }
    const Demotion demotion = CheckDemotion(ctx_, st_);
    if (demotion == Demotion::kRefused) {
        return kResultFailed; // the events wait in the controller's buffer
    }
    pass_ = FirstPass(ctx_, st_, demotion == Demotion::kProbe);
    const int32_t result = Transact();
    CountLine(ctx_, st_, result == kResultOk ? LineCounter::kOk : LineCounter::kFail);
    if (demotion == Demotion::kProbe) {
        EndProbe(ctx_, st_, false); // a failure for good demoted it again already
    }
    return result;
}

int32_t EventRead::Transact() {
    ctx_.fReadEvent = 1;
    if (ctx_.ovfPending[st_] == 1) {
        ctx_.fEF[st_] = 1;
    }
    length_ = BuildEventRequest(gate_, ctx_.txBuf, cb_);
    RunAttempts(ctx_, kEventTexts, pass_, *this);
    if (overflow_) {
        // Once the loop has told the trace how the marked block's attempt went: the extra
        // poll is an attempt of its own.
        HandleOverflow(cb_, st_);
    }
    if (done_) {
        return *done_;
    }

    if (pass_.result != kPassOk) {
        Log(kLogDetail, "MERIX> ReadEvent() Data NOT retrieved (rc=2)");
        return FailRead(ctx_, st_);
    }
    RememberDeliveredBlock(ctx_, st_, block_, blockLength_);
    return DeliverEventBlock(cb_, block_, RecordBytes(ctx_.rxBuf, blockLength_));
}

Then EventRead::SendFailed(int) {
    if (pass_.sRetry == 0) {
        Log(kLogDetail, "MERIX> ReadEvent() Send failed (PLC %d)", st_);
        GiveUp();
        return Then::kStop;
    }
    return Then::kNextAttempt;
}

Then EventRead::ReceiveFailed(ReceiveResult received) {
    // Whether the request or its reply was lost is unknown: switch between repeat and next.
    if (ctx_.fEF[st_] == 0) {
        if (ctx_.fRE[st_] == 1) {
            ctx_.fRE[st_] = 0;
            Log(kLogDetail, "MERIX> ReadEvent() Rcv failed : fRE was YES");
        } else {
            ctx_.fRE[st_] = 1;
            Log(kLogDetail, "MERIX> ReadEvent() Receive : fEF=NO set fRE");
        }
        length_ = BuildEventRequest(gate_, ctx_.txBuf, cb_);
    }
    if (received > kRxFailed) {
        return Then::kNextAttempt; // a wrong reply: from the budget of its own
    }
    if (pass_.sRetry == 0) {
        Log(kLogDetail, "MERIX> ReadEvent() Receive : sRetry=0 ret 2");
        GiveUp();
        return Then::kStop;
    }
    return Then::kNextAttempt;
}

Then EventRead::FrameArrived(ReplyVerdict verdict) {
    switch (verdict) {
    case ReplyVerdict::kConfirmed:
        TakeBlock();
        break;
    case ReplyVerdict::kCrcBad:
        RecoverFromCrc();
        break;
    default:
        RecoverFromRefusal();
        break;
    }
    return done_ ? Then::kStop : Then::kNextAttempt;
}

void EventRead::RecoverFromCrc() {
    const uint8_t f = ctx_.rxBuf[1];
    pass_.result = kPassBad;
    if (pass_.sRetry == 0) {
        Log(kLogDetail, "MERIX>  ReadEvent() wrong CRC  : sRetry=0 ret 2");
        KeepForRepeat();
        GiveUp();
        return;
    }
    if (ctx_.fEF[st_] == 0) {
        Log(kLogDetail, "MERIX> ReadEvent() wrong CRC fEF=NO set fRE (%xh, %d)", f, st_);
        ctx_.fRE[st_] = 1;
        if (f == kRepeatRefused) {
            Log(kLogDetail, "MERIX> ReadEvent() CRC ANL rp1 : Received C3");
            RepeatRefused();
            return;
        }
        // The controller took the corrupted block off its buffer when it sent it: ask for it
        // again at once, or it is lost and the next one comes twice.
        AskForRepeat();
    } else {
        Log(kLogDetail, "MERIX> ReadEvent() wrong CRC fEF=YES ");
    }
}

void EventRead::RecoverFromRefusal() {
    const uint8_t f = ctx_.rxBuf[1];
    pass_.result = kPassBad;
    if (pass_.sRetry == 0) {
        Log(kLogDetail, "MERIX> ReadEvent() ANL rp1 : sRetry=0 ret 2");
        if (f != kRepeatRefused) {
            KeepForRepeat();
        }
        GiveUp();
        return;
    }
    if (f == kRepeatRefused) {
        Log(kLogDetail, "MERIX> ReadEvent() ANL rp1 : Received C3");
        RepeatRefused();
        return;
    }
    if (ctx_.fEF[st_] == 0) {
        Log(kLogDetail, "MERIX> ReadEvent() ANL rp1 set fRE");
        AskForRepeat();
    } else {
        Log(kLogDetail, "MERIX> ReadEvent() In ANL rp1 no condition met");
    }
}

// A good reply: the state bitmap of the set-up, or a block of events.
void EventRead::TakeBlock() {
    pass_.result = kPassOk; // the reply is taken, whatever the read makes of it
    if (ctx_.fEF[st_] == 1) {
        SetValueWord(gate_.valuePtr, 0);
        ctx_.ovfPending[st_] = 0;
        // The set-up emptied the controller's buffer: there is no block left to repeat.
        ctx_.fRE[st_] = 0;
        Finish(Update_Events(cb_, pass_.replyLength));
        if (ctx_.fEF[st_] == 0) {
            ForgetDeliveredBlock(ctx_, st_); // a repeat can no longer bring it back
        }
        return;
    }
    // The block, bounded by what arrived.
    const uint32_t n = ReplyDataLength(ctx_.rxBuf[2], pass_.replyLength);
    // A repeat is answered with the controller's last block, also when the request before it
    // never reached the controller or was refused: then that block is here already.
    const bool delivered = length_ == 2 && ctx_.txBuf[1] == kEventRepeat &&
                           IsDeliveredBlock(ctx_, st_, ctx_.rxBuf + 3, n);
    if (!delivered && OverflowMarker(ctx_.rxBuf, n) && ctx_.ovfAlert[st_] == kNoAlert) {
        overflow_ = true; // handled when the loop is over
        Finish(1);
        return;
    }
    if (ctx_.ovfAlert[st_] != kNoAlert) {
        QorStampAlert(0, 1, ctx_.ovfAlert[st_], 4, 0, 0, 0);
        ctx_.ovfAlert[st_] = kNoAlert;
        Log(kLogDetail, "MERIX> ReadEvent() Buffer overflow ended for PLC %d", st_);
    }
    if (delivered) {
        Log(kLogDetail,
            "MERIX> ReadEvent() repeat brought the block of %u bytes already delivered "
            "(PLC %d): not delivered again",
            n, st_);
        ctx_.fReadEvent = 0;
        Finish(0);
        return;
    }
    block_ = ctx_.rxBuf + 3;
    blockLength_ = n;
    pass_.result = kPassOk;
}

} // namespace

int32_t ReadEvent(CallBlock* cb) {
    return EventRead(cb).Run();
}

} // namespace merix
