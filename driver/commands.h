// The command routines that VpiMain dispatches, one per slot of the command table.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

using CommandRoutine = int32_t (*)(CallBlock*);

// Port lifecycle.
int32_t ColdStart(CallBlock* cb);
int32_t WarmStart(CallBlock* cb);
int32_t EndVpi(CallBlock* cb);
int32_t CloseCom(CallBlock* cb);
int32_t ReOpenCom(CallBlock* cb);
int32_t GetVpiInfo(CallBlock* cb);
int32_t ChangeVpiParams(CallBlock* cb);

// Gate addressing.
int32_t SingleAddressParser(CallBlock* cb);
int32_t BlockAddressParser(CallBlock* cb);

// Transactions.
int32_t SingleRead(CallBlock* cb);
int32_t BlockRead(CallBlock* cb);
int32_t SingleWrite(CallBlock* cb);
int32_t BlockWrite(CallBlock* cb);

} // namespace merix
