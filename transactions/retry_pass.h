// The retry discipline shared by reads, writes and event reads: five tries (RETRIES), and a
// budget of thirteen extra tries for wrong replies, with a 50 ms pause (RETRY_PAUSE) before
// every try but the first. A probe of a demoted station makes one try and no more.
#pragma once

#include <cstdint>

#include "merix/vpi.h"
#include "serial/line_trace.h"
#include "serial/receiver.h"
#include "services/instance_settings.h"

namespace merix {

/// Result codes inside the transactions.
enum PassResult : int { kPassOk = 0, kPassBad = 1, kPassFailed = 2, kPassWrongReply = 3 };

/// A pass's result after the receiver's verdict on a reply that did not arrive whole.
constexpr PassResult PassOf(ReceiveResult received) {
    switch (received) {
    case kRxFrame:
        return kPassOk;
    case kRxRefused:
        return kPassBad;
    case kRxFailed:
        return kPassFailed;
    case kRxWrong:
        break;
    }
    return kPassWrongReply;
}

/// The command result that a transaction's last pass gives.
constexpr CommandResult ResultOf(PassResult pass) {
    switch (pass) {
    case kPassOk:
        return kResultOk;
    case kPassBad:
        return kResultRefused;
    case kPassFailed:
        return kResultFailed;
    case kPassWrongReply:
        break;
    }
    return kResultWrongReply;
}

/// The log lines of one transaction kind, printf formats: (sRetry, reply length),
/// (calcDelay, pracDelay) and (budget).
struct RetryTexts {
    const char* pass;
    const char* delay;
    const char* wrongReceive;
};

struct RetryState {
    int32_t station = -1;                    ///< the station whose statistics count the retries
    int16_t attempts = kDefaultAttempts;     ///< tries of the transaction
    int16_t sRetry = kDefaultAttempts;       ///< tries left
    int16_t budget = 13;                     ///< further tries after wrong replies
    uint16_t pauseMs = kDefaultRetryPauseMs; ///< before every try but the first
    PassResult result = kPassOk;
    TraceWhy why = TraceWhy::kNone; ///< why the pass was not good, for the line trace
    uint32_t replyLength = 0;
    bool first = true;
    bool retrying = false; ///< the pass in progress is not the transaction's first

    /// Starts a pass: pauses and logs before every pass but the first, then takes the pass
    /// from the wrong-reply budget (after a wrong reply) or from sRetry. False when the
    /// budget is used up; the transaction then ends with kPassWrongReply.
    bool Begin(DriverContext& ctx, const RetryTexts& texts);

    /// The pass's request went out: a retry is counted only once it is on the line.
    void RequestSent(const DriverContext& ctx) const;

    /// The number of the pass in progress among the retries (0: the first retry).
    int RetryNumber() const { return attempts - 1 - sRetry; }

    /// The loop test after a pass that did not return.
    bool Done() const { return sRetry == 0 || result == kPassOk; }
    /// No pass follows this one: the loop test ends the loop, or a wrong reply found the
    /// wrong-reply budget used up (Begin then refuses the next pass).
    bool Over() const { return Done() || (result == kPassWrongReply && budget == 0); }
};

/// The first pass of a transaction to `station`, with the instance's RETRIES and RETRY_PAUSE;
/// a probe makes one try, with no wrong-reply budget.
RetryState FirstPass(const DriverContext& ctx, int32_t station, bool probe = false);

} // namespace merix
