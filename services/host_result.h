// How the driver tests a result of the host's services.
#pragma once

namespace merix {

/// Only the low 16 bits of a host service's result count: a host whose services return
/// 16-bit values leaves the upper half of the register undefined.
inline int HostResult(int result) {
    return result & 0xFFFF;
}

} // namespace merix
