// Each public header first, so that it is known to compile on its own.
#include "merix/vpi.h"
#include "merix/qorlib.h"
