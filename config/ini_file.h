// The per-instance initialisation file "MERIX%02d.INT" (or ".INI").
#pragma once

#include "merix/vpi.h"

namespace merix {

/// Reads the file of the call block's driver number into its context: debug flag, line
/// masks, fDelay and IFG. Never fails; without a file the default masks apply.
void ReadIntFile(CallBlock* cb);

} // namespace merix
