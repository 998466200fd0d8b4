// merixhost's scan loop: the gates that fall due are read, the demo plant moves, and the view
// is refreshed, until the run's time is up or a stop is asked for.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "host/console/demo.h"
#include "host/console/options.h"
#include "host/console/scanner.h"

namespace merixhost {

/// Scans until `duration` seconds from `start` have passed (none or 0: until stopped) or a
/// stop is requested; calls `refresh` every options.refresh. Returns the reason it ended.
std::string ScanLoop(Scanner& scanner, Demo* plant, const Options& options,
                     const std::function<void()>& refresh, SteadyTime start,
                     std::optional<double> duration);

} // namespace merixhost
