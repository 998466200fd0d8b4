// Reply reception: reading one reply off the line, as long as its request's reply is.
#pragma once

#include <cstdint>

#include "merix/vpi.h"
#include "serial/line_trace.h"

namespace merix {

/// Outcome of one reception.
enum ReceiveResult : int {
    kRxFrame = 0,   ///< a frame arrived whole; ConfirmReply judges it
    kRxRefused = 1, ///< the controller refused the request (ConfirmReply's verdict on its code)
    kRxFailed = 2,  ///< nothing arrived, a read failed, or exception code 4
    kRxWrong = 3,   ///< other station or function, or a frame cut short
};

/// Reads one reply into ctx.rxBuf, step by step within the reply timeout, as long as the
/// table of functions lays out the reply to the request in ctx.txBuf. The station and the
/// function are checked as they arrive, because only for the station and function asked is
/// the rest read. `*count` receives the bytes accepted; on kRxFrame, the whole frame with its
/// CRC. `*why` says why the reply is not whole, for the trace.
ReceiveResult Receive(int32_t station, DriverContext& ctx, uint32_t* count, TraceWhy* why);

/// The reception is over, with the result and reason the reply's confirmation left: a reply
/// cut short is counted, and the trace takes the reply's bytes.
void EndReception(DriverContext& ctx, int32_t station, ReceiveResult result, TraceWhy why);

} // namespace merix
