// What the search for stations found, for the user: a table of the stations found at each
// line setting, the same as CSV, and which setting to put in the host.
#pragma once

#include <string>
#include <vector>

#include "host/console/station_scan.h"

namespace merixhost {

/// One line setting tried, and what it found.
struct SettingOutcome {
    int baud = 0;
    int parityCode = 0;
    std::string line;    ///< "19200 8E1"
    bool opened = false; ///< the driver opened the port at this setting
    bool echoes = false; ///< the driver found that the line echoes every request
    size_t tried = 0;    ///< stations read
    size_t garbled = 0;  ///< stations whose read brought bytes but no reply
    std::vector<ProbeResult> found;
};

/// The table of the stations found, a heading first; empty when none was found.
std::vector<std::string> FoundTable(const std::vector<SettingOutcome>& outcomes);

/// A line per setting: "19200 8E1: 3 of 31 stations (2, 7, 30)".
std::vector<std::string> SettingLines(const std::vector<SettingOutcome>& outcomes);

/// Which setting to put in the host: the one with the most stations found, or the tie.
std::string Recommendation(const std::vector<SettingOutcome>& outcomes);

/// The stations found as CSV rows, the header first, each with its line end.
std::string FoundCsv(const std::vector<SettingOutcome>& outcomes);

} // namespace merixhost
