// The live table: gates, newest events, open alerts, stations and the driver's newest log
// lines, redrawn in place on an ANSI terminal (see terminal.h for whether stdout is one).
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "host/console/log_router.h"
#include "host/console/scanner.h"

namespace merixhost {

struct ViewInfo {
    std::string title; ///< driver, port and line, shown on the first line
    SteadyTime start;
    std::optional<double> duration;                 ///< seconds, when the run is limited
    const std::deque<std::string>* trace = nullptr; ///< newest line trace lines, when traced
};

struct TableLine {
    std::string text;
    bool heading = false;
    bool warning = false; ///< a failed gate, a refusal, a station in trouble
    /// A station's row, drawn in the colour of its health rather than as a warning.
    std::optional<Health> health{};
};

/// The table's lines for a screen of `width` x `height` characters.
std::vector<TableLine> BuildTable(const Scanner& scanner, const LogRouter& log,
                                  const ViewInfo& info, int width, int height);

/// Redraws the table over its previous copy; what was printed above it stays.
class TerminalTable {
public:
    TerminalTable() = default;
    ~TerminalTable();
    TerminalTable(const TerminalTable&) = delete;
    TerminalTable& operator=(const TerminalTable&) = delete;

    void Draw(const Scanner& scanner, const LogRouter& log, const ViewInfo& info);
    /// Draws these lines as the table.
    void DrawLines(const std::vector<TableLine>& lines);
    /// Leaves the last table on the screen and gives the cursor back.
    void Finish();

private:
    int drawn_ = 0;
    bool cursorHidden_ = false;
};

} // namespace merixhost
