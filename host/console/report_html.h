// The run report as one self-contained HTML page: inline style and inline SVG plots, nothing
// fetched from anywhere, laid out to print on A4.
#pragma once

#include <string>

#include "host/console/run_report.h"

namespace merixhost {

std::string ReportHtml(const RunReport& report);

/// Writes the page to `path`; false with `error` set when it cannot be written whole.
bool WriteReportHtml(const RunReport& report, const std::string& path, std::string* error);

} // namespace merixhost
