// Handing received events and event states to the host's event gates.
#pragma once

#include <cstdint>
#include <ctime>

#include "merix/vpi.h"
#include "platform/platform.h"
#include "serial/protocol.h"

namespace merix {

/// Delivers the 8-byte records of an event block of `n` bytes. 0 when all were handled,
/// 1 at an illegal record (the records before it are delivered).
int DeliverEventBlock(CallBlock* cb, const uint8_t* block, uint32_t n);

/// Handles the reply to the set-up request in ctx.rxBuf, `replyLength` bytes: the state of
/// every event, or the count conflict alert. Always 0.
int Update_Events(CallBlock* cb, uint32_t replyLength);

/// Calendar seconds of a time of day seen at `now`: yesterday's, today's or tomorrow's date,
/// whichever puts the stamp within (now - 22 h, now + 2 h].
time_t EventTime(const plat::LocalTime& now, int hour, int minute, int second);

} // namespace merix
