#include "transactions/retry_pass.h"

#include "serial/transmitter.h"
#include "services/host_log.h"
#include "services/instance_room.h"
#include "services/line_statistics.h"

namespace merix {

bool RetryState::Begin(DriverContext& ctx, const RetryTexts& texts) {
    retrying = !first;
    if (retrying) {
        WaitGap(ctx, pauseMs);
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

RetryState FirstPass(const DriverContext& ctx, int32_t station, bool probe) {
    RetryState pass{.station = station};
    if (const InstanceRoom* room = FindInstanceRoom(ctx)) {
        pass.attempts = static_cast<int16_t>(room->settings.attempts);
        pass.pauseMs = static_cast<uint16_t>(room->settings.retryPauseMs);
    }
    if (probe) {
        pass.attempts = 1;
        pass.budget = 0;
    }
    pass.sRetry = pass.attempts;
    return pass;
}

void RetryState::RequestSent(const DriverContext& ctx) const {
    if (retrying) {
        CountLine(ctx, station, LineCounter::kRetry);
    }
}

} // namespace merix
