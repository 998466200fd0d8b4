// Writing gates: a single register or coil, internal gates, and the time broadcast.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

/// The write commands of the host. BlockWrite is not supported and answers 1.
int32_t SingleWrite(CallBlock* cb);
int32_t BlockWrite(CallBlock* cb);

} // namespace merix
