// The listener's table: one row per station heard, and the whole line.
#pragma once

#include <string>
#include <vector>

#include "host/console/sniff_model.h"
#include "host/console/table_view.h"

namespace merixhost {

/// The table's lines: a heading, a row for each station heard, the line's totals.
std::vector<TableLine> SniffTable(const SniffModel& model, const std::string& title,
                                  double seconds);

/// "station 2: 120 requests, 120 replies, ...": the summary's line of each station heard.
std::vector<std::string> SniffSummary(const SniffModel& model);

} // namespace merixhost
