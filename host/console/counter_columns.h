// Where the driver's counters go in merixhost's live table and stations CSV. Each layout is a
// rule over the counters' one list (merix::kLineCounterNames), never a list of its own, so
// that a counter the driver adds shows up in both at once.
#pragma once

#include <string>
#include <vector>

#include "host/console/scan_model.h"

namespace merixhost {

/// The first counter added after the stations CSV had its first columns: it and those after
/// it follow the state column, so that the older columns keep their places.
inline constexpr Counter kFirstAddedCounter = Counter::kShort;

/// The counters in the live table's order.
std::vector<Counter> TableColumns();
/// The width of a counter's column in the live table.
int TableColumnWidth(Counter counter);
/// A counter's heading in the live table: "SIL", "TURN us".
std::string TableHeading(Counter counter);

/// The stations CSV's header row, without its line end:
/// "time,station,ok,...,turn_us,state,shrt,...".
std::string StationsCsvHeader();

} // namespace merixhost
