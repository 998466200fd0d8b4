// The lines merixhost prints when it stops.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/console/scanner.h"

namespace merixhost {

struct RunOutcome {
    double seconds = 0;
    std::string reason;     ///< "duration reached", "stopped by signal"
    int endResult = 0;      ///< EndVpi's result
    bool portClosed = true; ///< the context holds no handle after EndVpi
    std::vector<std::string> files;
};

/// "station 1: OK 108, FAIL 0, ..., communicating" for each station, then the whole line.
std::vector<std::string> StationLines(const Scanner& scanner);

/// "stations demoted: 1 of 3": of the stations the gate list talks to, those the driver has
/// demoted; nullopt for a driver without statistics gates, whose demotions nothing tells.
std::optional<std::string> DemotedLine(const Scanner& scanner);

std::vector<std::string> SummaryLines(const Scanner& scanner, const RunOutcome& outcome);

} // namespace merixhost
