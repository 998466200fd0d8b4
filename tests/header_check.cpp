// Each public header first, so that it is known to compile on its own.
#include "merix/qorlib.h"
#include "merix/statistics_gates.h"
#include "merix/vpi.h"
