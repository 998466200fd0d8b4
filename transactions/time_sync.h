// Setting every controller's clock by a broadcast.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

/// Broadcasts the local date and time to station 0 (no reply). 0 when the frame went out,
/// 2 when it could not be sent.
int32_t SendTimeSync(CallBlock* cb);

} // namespace merix
