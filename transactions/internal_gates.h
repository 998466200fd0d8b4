// Internal gates: driver settings and station switches answered from the context, without
// line traffic. Station 255, function 80.
#pragma once

#include <cstdint>

#include "gates/address_parser.h"
#include "merix/vpi.h"

namespace merix {

/// Hands the internal gate's value to the host. 0, or 1 for an unknown gate.
int32_t ReadInternalGate(DriverContext& ctx, const GateAccessRecord& gate);
/// Takes the value from the gate's buffer. 0, or 1 for an unknown gate or a bad value.
int32_t WriteInternalGate(DriverContext& ctx, const GateAccessRecord& gate);

} // namespace merix
