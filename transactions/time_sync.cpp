#include "transactions/time_sync.h"

#include "platform/platform.h"
#include "serial/line_trace.h"
#include "serial/protocol.h"
#include "serial/transmitter.h"
#include "services/host_log.h"
#include "services/run_time_error.h"

namespace merix {

namespace {
// Station, function, the byte count and the clock's field.
constexpr int kTimeSyncLength = 3 + kClockFieldSize;
} // namespace

int32_t SendTimeSync(CallBlock* cb, plat::LocalTime* sent) {
    DriverContext& ctx = *cb->context;
    WaitGap(ctx, kRetryGapMs);

    // Read once, before Send waits its gap: the frame leaves at least IFG ms after its stamp.
    const plat::LocalTime now = plat::Now();
    if (sent != nullptr) {
        *sent = now;
    }
    uint8_t frame[kTimeSyncLength + 2] = {
        kBroadcastStation,
        kTimeSync,
        kClockFieldSize,
        static_cast<uint8_t>(now.millis % 100),
        static_cast<uint8_t>(now.millis / 100),
        static_cast<uint8_t>(now.second),
        static_cast<uint8_t>(now.minute),
        static_cast<uint8_t>(now.hour),
        static_cast<uint8_t>(now.day),
        static_cast<uint8_t>(now.month),
        static_cast<uint8_t>(now.year % 100),
    };
    ctx.fixedReply = 1;
    const int rc = SendRequest(ctx, frame, kTimeSyncLength);
    ctx.fixedReply = 0;
    TraceAttemptEnds(ctx, rc == 0 ? TraceOutcome::kNoReplyAwaited : TraceOutcome::kFailed,
                     rc == 0 ? TraceWhy::kNone : TraceWhy::kSendFailed);
    if (rc != 0) {
        RunTimeError(kAreaTransactions, kPlaceTimeSyncSend, 0);
        Log(kLogDetail, "MERIX> Time synchronization command could not be sent");
        return kResultFailed;
    }
    Log(kLogDetail, "MERIX> Time synchronization command was issued successful!");
    return kResultOk;
}

} // namespace merix
