// Whether a whole reply confirms its request: the one verdict that reads, writes and event
// reads act on. The receiver has checked the station and the function as they arrived (it
// reads on only for the station and function asked); here follow the exception's code, the
// CRC, and the echo or the count, each verdict counted in the station's statistics and told
// to the trace as the attempt's reason.
#pragma once

#include <cstdint>

#include "merix/vpi.h"
#include "transactions/retry_pass.h"

namespace merix {

enum class ReplyVerdict : uint8_t {
    kConfirmed,   ///< the reply answers the request
    kRefused,     ///< an exception whose code refuses the request (2, 3, 5, 6)
    kNoService,   ///< exception code 4, the controller's device failed: as if nothing came
    kException,   ///< any other exception reply: the transaction decides what it means
    kCrcBad,      ///< the CRC does not match
    kEchoDiffers, ///< a write's reply is not its request again
    kCountShort,  ///< a read's reply carries fewer values than the gate asked
};

/// The verdict on the whole reply of `pass.replyLength` bytes in ctx.rxBuf to the request in
/// ctx.txBuf. `valuesEnd` is the least reply length that carries the values asked (0: the
/// reply's layout alone decides). Sets `pass.why` where the verdict is a failure.
///
/// The checks keep the order each function has always had, which is not one for all: an
/// exception's code first, for every function, before any CRC; then, for the event functions,
/// the CRC before the exception bit, and for the others the exception bit before the CRC and
/// the CRC before the echo or the count. Hosts and their operators know the retries and
/// counts that follow from it.
ReplyVerdict ConfirmReply(const DriverContext& ctx, RetryState& pass, uint64_t valuesEnd);

} // namespace merix
