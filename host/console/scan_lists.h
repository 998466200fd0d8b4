// The comma lists that --scan takes: baud rates ("9600,19200"), parities ("even,none") and
// stations ("1,4,7-9"). Outside a scan each of --baud and --parity names one setting.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace merixhost {

/// "9600,19200": the rates in the order given, each 50 to 65535 (the host's 16 bits); nullopt
/// for an empty item, a rate out of range or anything that is not a number.
std::optional<std::vector<int>> ParseBaudList(const std::string& text);

/// "even,none" or "E,N": the driver's parity codes (0 none, 1 odd, 2 even, 3 mark, 4 space).
std::optional<std::vector<int>> ParseParityList(const std::string& text);

/// "1-8" or "1,4,7-9": stations 1 to 31, ascending, each once, however the list repeats them.
std::optional<std::vector<int>> ParseStationList(const std::string& text);

/// Stations as the user would write them: "1-31", "2,7,30", "1-4,9".
std::string StationListText(const std::vector<int>& stations);

/// One parity's name ("none", ...), or nullopt for anything else.
std::optional<int> ParityCode(const std::string& name);

/// "even" for code 2.
std::string ParityName(int code);

} // namespace merixhost
