// Setting every controller's clock by a broadcast.
#pragma once

#include <cstdint>

#include "merix/vpi.h"
#include "platform/platform.h"

namespace merix {

/// Run-time error 5070: the time broadcast could not be sent (area 5, place 7).
inline constexpr int32_t kPlaceTimeSyncSend = 7;

/// Broadcasts the local date and time to station 0 (no reply). 0 when the frame went out,
/// 2 when it could not be sent. `*sent`, when given, receives the time the frame carries.
int32_t SendTimeSync(CallBlock* cb, plat::LocalTime* sent = nullptr);

} // namespace merix
