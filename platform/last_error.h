// How code that every backend shares tells the backend's LastError of a failure: each real
// backend keeps the code of the last failed call its own way, and defines this.
#pragma once

#include <cstdint>

namespace merix::plat::detail {

/// The code that LastError answers from now on.
void SetLastError(uint32_t code);

} // namespace merix::plat::detail
