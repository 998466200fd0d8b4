// merixhost --scan: which stations are on the line, and at what settings. For each line
// setting asked for, a fresh ColdStart of the driver with one attempt per transaction, and one
// read of a holding register of each station; then the table of the stations found, and the
// setting to put in the host.
#pragma once

#include "host/console/options.h"

namespace merixhost {

/// The exit code: 0 when a station was found, 1 when none was (or the driver would not start).
int RunStationScan(Options& options);

} // namespace merixhost
