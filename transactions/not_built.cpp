#include "driver/commands.h"
#include "driver/not_supported.h"

namespace merix {

int32_t SingleRead(CallBlock* cb) { return NotSupported(cb); }
int32_t BlockRead(CallBlock* cb) { return NotSupported(cb); }
int32_t SingleWrite(CallBlock* cb) { return NotSupported(cb); }
int32_t BlockWrite(CallBlock*) { return 1; }

} // namespace merix
