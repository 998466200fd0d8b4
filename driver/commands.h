// The command routines that VpiMain dispatches, one per slot of the command table.
#pragma once

#include <cstdint>

#include "gates/address_parser.h" // the parse commands
#include "merix/vpi.h"
#include "transactions/read_transaction.h"  // the read commands
#include "transactions/write_transaction.h" // the write commands

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

} // namespace merix
