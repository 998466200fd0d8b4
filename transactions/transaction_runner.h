// The attempt loop that reads, writes and event reads share: the retry discipline with its
// pause, the request, the reply and its confirmation, and the line trace's account of each
// attempt. What differs between the transactions (their log lines, what a verdict on a reply
// means for them, their recoveries) stays theirs, in the steps they hand to the loop.
#pragma once

#include "merix/vpi.h"
#include "serial/line_trace.h"
#include "serial/receiver.h"
#include "transactions/reply_confirmation.h"
#include "transactions/retry_pass.h"

namespace merix {

/// What the loop does after a step of an attempt.
enum class Then { kNextAttempt, kStop };

/// A transaction's own part in the attempt loop. Each step may change `pass.result` (and tell
/// why an attempt was not good in `pass.why`), log its own lines, and rebuild the request.
class TransactionSteps {
public:
    /// Length of the request in ctx.txBuf, without its CRC; asked before every attempt.
    virtual int RequestLength() const = 0;
    /// Just before the request goes out.
    virtual void BeforeSend() {}
    /// The least reply length that carries what the transaction takes from it (0: the reply's
    /// layout alone decides).
    virtual uint64_t ValuesEnd() const { return 0; }
    /// The request could not be sent; `pass.result` is kPassFailed.
    virtual Then SendFailed(int sent) = 0;
    /// No whole frame came back, or its exception's code refused the request: `pass.result`
    /// holds the reception's verdict.
    virtual Then ReceiveFailed(ReceiveResult received) = 0;
    /// A whole frame is in ctx.rxBuf, and ConfirmReply's verdict on it: the step sets
    /// `pass.result`.
    virtual Then FrameArrived(ReplyVerdict verdict) = 0;

protected:
    ~TransactionSteps() = default;
};

/// The steps of a transaction whose request never changes (a read, a write): a failed send
/// or receive is logged with the transaction's own texts and tried again.
class FixedRequestSteps : public TransactionSteps {
public:
    /// printf formats: the send's code; the retry number (the receive's, not for wrong replies).
    struct Texts {
        const char* sendFailed;
        const char* receiveFailed;
    };

    FixedRequestSteps(DriverContext& ctx, RetryState& pass, int length, const Texts& texts)
        : ctx_(ctx), pass_(pass), length_(length), texts_(texts) {}

    int RequestLength() const override { return length_; }
    Then SendFailed(int sent) override;
    Then ReceiveFailed(ReceiveResult received) override;

protected:
    ~FixedRequestSteps() = default;

    DriverContext& ctx_;
    RetryState& pass_;

private:
    const int length_;
    const Texts& texts_;
};

/// The transaction of `pass` failed for good: its station goes into the error state, and is
/// demoted where DEMOTE is set; the trace is told when it was communicating before.
void PutIntoError(DriverContext& ctx, const RetryState& pass);

/// Runs attempts until one is good, the budgets are used up, or a step stops the loop. After
/// each attempt the line trace is told how it went: good, retry or failed, and why.
void RunAttempts(DriverContext& ctx, const RetryTexts& texts, RetryState& pass,
                 TransactionSteps& steps);

} // namespace merix
