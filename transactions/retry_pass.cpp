#include "transactions/retry_pass.h"

#include "serial/transmitter.h"
#include "services/host_log.h"
#include "services/line_statistics.h"

namespace merix {

bool RetryState::Begin(DriverContext& ctx, const RetryTexts& texts) {
    retrying = !first;
    if (retrying) {
        WaitGap(ctx, kRetryGapMs);
        Log(kLogDetail, texts.pass, sRetry, replyLength);
        if (ctx.debugFlag == 0) {
            Log(kLogDetail, texts.delay, static_cast<double>(ctx.calcDelay),
                static_cast<double>(ctx.pracDelay));
        }
    }
    first = false;
    if (result == kPassWrongReply) {
        if (budget == 0) {
            return false;
        }
        if (ctx.debugFlag != 0) {
            Log(kLogDetail, texts.wrongReceive, budget);
        }
        --budget;
    } else {
        --sRetry;
    }
    return true;
}

void RetryState::RequestSent(const DriverContext& ctx) const {
    if (retrying) {
        CountLine(ctx, station, LineCounter::kRetry);
    }
}

} // namespace merix
