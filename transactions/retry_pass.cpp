#include "transactions/retry_pass.h"

#include <cstring>

#include "driver/host_log.h"
#include "serial/transmitter.h"

namespace merix {

bool RetryState::Begin(DriverContext& ctx, const RetryTexts& texts) {
    if (!first) {
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

int16_t ValueWord(const void* valuePtr) {
    int16_t value = 0;
    std::memcpy(&value, static_cast<const uint8_t*>(valuePtr) + 2, sizeof value);
    return value;
}

void SetValueWord(void* valuePtr, int16_t value) {
    std::memcpy(static_cast<uint8_t*>(valuePtr) + 2, &value, sizeof value);
}

} // namespace merix
