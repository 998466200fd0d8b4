// Reply reception and classification.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

/// Outcome of one reception.
enum ReceiveResult : int {
    kRxFrame = 0,   ///< a frame arrived; the caller checks the exception bit and the CRC
    kRxRefused = 1, ///< the controller refused the request
    kRxFailed = 2,  ///< nothing arrived, a read failed, or exception code 4
    kRxWrong = 3,   ///< other station or function, or a frame cut short
};

/// Reads one reply into ctx.rxBuf, step by step within the reply timeout, and checks its
/// station against `station` and its function against the request in ctx.txBuf.
/// `*count` receives the bytes accepted; on kRxFrame, the whole frame with its CRC.
ReceiveResult Receive(int32_t station, DriverContext& ctx, uint32_t* count);

} // namespace merix
