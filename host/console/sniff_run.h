// merixhost --sniff: listens to a line that another master drives, until the run's time is
// up or a stop is asked for, and shows what it heard.
#pragma once

#include "host/console/options.h"

namespace merixhost {

/// The exit code: 0 after a run, 1 when the port could not be opened or a file not written.
int RunSniff(const Options& options);

} // namespace merixhost
