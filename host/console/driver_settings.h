// What merixhost tells the driver when it starts it: the host's port parameters for ColdStart,
// and the lines of the driver's initialisation file that the command line sets. The live scan
// and the search for stations start the driver the same way.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "host/console/ini_overlay.h"
#include "host/console/options.h"
#include "host/console/port_name.h"
#include "merix/vpi.h"

namespace merixhost {

/// ColdStart's parameters for the line settings of `options` on the host's `portName`.
merix::StartParams StartParamsFor(const Options& options, const std::string& portName);

/// The trace, the capture, the journal, a port that the host's 11 characters cannot name, and
/// the demotion and retries given.
std::vector<IniSetting> OverlaidSettings(const Options& options,
                                         const std::filesystem::path& tracePath,
                                         const std::filesystem::path& capturePath,
                                         const std::filesystem::path& journalPath,
                                         const PortName& port);

} // namespace merixhost
