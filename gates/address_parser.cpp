#include "gates/address_parser.h"

#include "driver/commands.h"
#include "driver/not_supported.h"

namespace merix {

int MatchSpecialName(char*, int32_t*, int32_t*) { return kNoSpecialName; }
int32_t SingleAddressParser(CallBlock* cb) { return NotSupported(cb); }
int32_t BlockAddressParser(CallBlock* cb) { return NotSupported(cb); }

} // namespace merix
