// Reading gates from the controllers: functions 1 to 4, singly and in blocks.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

/// Writes the 6-byte read request of the gate into `frame`; answers its length.
int BuildReadRequest(const GateAccessRecord& gate, uint8_t* frame);

/// Stores the data of a checked reply of `replyLength` bytes into the gate's value buffer.
/// False, with nothing stored, when the reply does not hold the bytes the gate needs.
bool StoreReadValues(const GateAccessRecord& gate, const uint8_t* reply, uint32_t replyLength);

/// The read transaction with its retries; 0, 1 or 2.
int32_t DoRead(CallBlock* cb);

/// The read commands of the host: a single gate, a block.
int32_t SingleRead(CallBlock* cb);
int32_t BlockRead(CallBlock* cb);

} // namespace merix
