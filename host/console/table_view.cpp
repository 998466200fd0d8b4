#include "host/console/table_view.h"

#include <algorithm>
#include <cstdio>

#include <fmt/format.h>

#include "host/console/counter_columns.h"
#include "host/console/terminal.h"
#include "host/qorlib_control.h"

namespace merixhost {
namespace {

constexpr int kMaxEventRows = 8;
constexpr int kMaxLogRows = 5;

std::string Fit(std::string text, int width) {
    if (width > 0 && static_cast<int>(text.size()) > width) {
        text.resize(static_cast<size_t>(width));
    }
    return text;
}

std::string Shorten(const std::string& text, size_t width) {
    if (text.size() <= width) {
        return text;
    }
    return text.substr(0, width > 3 ? width - 3 : 0) + "...";
}

std::string GateRow(const GateState& g) {
    const std::string address = g.entry.blockLength > 0
                                    ? fmt::format("{} x{}", g.entry.address, g.entry.blockLength)
                                    : g.entry.address;
    if (!g.Accepted()) {
        return fmt::format("{:<18} {:<13} refused by the driver ({}): {}",
                           Shorten(g.entry.name, 18), Shorten(address, 13), g.parseResult,
                           g.parseNote);
    }
    const std::string good = g.lastGood ? ClockText(*g.lastGood) : "-";
    const std::string result = g.lastResult ? ResultText(*g.lastResult) : "waiting";
    return fmt::format("{:<18} {:<13} {:<28} {:<12} {:<13} {:>6} {:>5}", Shorten(g.entry.name, 18),
                       Shorten(address, 13), Shorten(g.valueText, 28), good, result, g.accesses,
                       g.failures);
}

/// A station's state and its counters under their names; the heading when `stats` is null.
/// The state comes first, so that a window too narrow for every counter cuts counters, not
/// the state ("demoted 3600 s" is the longest).
std::string StationRow(const std::string& label, const StationStats* stats,
                       const std::string& state, char health) {
    std::string row = fmt::format("{:<7} {} {:<14}", label, health, state);
    for (const Counter c : TableColumns()) {
        const auto value = stats == nullptr ? std::nullopt : stats->Get(c);
        const std::string cell = stats == nullptr ? TableHeading(c)
                                 : value          ? std::to_string(*value)
                                                  : "-";
        row += fmt::format(" {:>{}}", cell, TableColumnWidth(c));
    }
    return row;
}

std::string EventRow(const EventRecord& e) {
    return fmt::format("  {:<23}  {:<18} {}  st {:>2} #{:<4} -> {:g}",
                       StampText(e.seconds, e.millis), Shorten(e.gate, 18), e.address, e.station,
                       e.number, e.value);
}

std::vector<TableLine> HeadLines(const ViewInfo& info) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - info.start).count();
    const std::string run = info.duration
                                ? fmt::format("{:.1f} s of {:g} s", elapsed, *info.duration)
                                : fmt::format("{:.1f} s, Ctrl-C stops", elapsed);
    return {{fmt::format("merixhost  {}  {}  {}", info.title,
                         ClockText(std::chrono::system_clock::now()), run),
             true},
            {fmt::format("{:<18} {:<13} {:<28} {:<12} {:<13} {:>6} {:>5}", "GATE", "ADDRESS",
                         "VALUE", "LAST GOOD", "RESULT", "READS", "FAIL"),
             true}};
}

std::vector<TableLine> GateLines(const Scanner& scanner) {
    std::vector<TableLine> gates;
    for (const auto& g : scanner.Gates()) {
        if (g.kind != GateKind::EventGate || !g.Accepted()) {
            gates.push_back({GateRow(g), false, !g.Accepted() || g.lastResult.value_or(0) != 0});
        }
    }
    return gates;
}

std::vector<TableLine> AlertLines() {
    std::vector<TableLine> alerts{{"OPEN ALERTS", true}};
    for (const auto& a : qorlib::OpenAlerts()) {
        alerts.push_back(
            {fmt::format("  #{:<4} {:<8} {}", a.id, a.alertClass, a.text), false, true});
    }
    if (alerts.size() == 1) {
        alerts.push_back({"  none"});
    }
    return alerts;
}

std::vector<TableLine> StationLines(const Scanner& scanner) {
    std::vector<TableLine> stations{{StationRow("STATION", nullptr, "STATE", ' '), true}};
    const auto& ctx = scanner.Context();
    const auto& table = scanner.Stations();
    for (size_t st = 1; st < table.size(); ++st) {
        if (table[st].used) {
            const uint32_t state = ctx.plcState[st];
            const Health health = scanner.HealthOf(st);
            stations.push_back(
                {StationRow(std::to_string(st), &table[st], StationStateShown(table[st], state),
                            HealthLetter(health)),
                 false, health != Health::kGood, health});
        }
    }
    if (table[0].Counted()) {
        stations.push_back({StationRow("line", &table[0], "", ' ')});
    }
    return stations;
}

/// The line trace's newest lines, under the stations they concern.
std::vector<TableLine> TraceLines(const ViewInfo& info) {
    std::vector<TableLine> trace;
    if (info.trace != nullptr) {
        trace.push_back({"LINE TRACE (newest last)", true});
        for (const auto& line : *info.trace) {
            trace.push_back({"  " + line, false, line.find("-- failed") != std::string::npos});
        }
    }
    return trace;
}

/// Leaves `rows` lines of gates at most, the last of them saying how many did not fit.
void FitGates(std::vector<TableLine>& gates, int rows) {
    if (rows < static_cast<int>(gates.size())) {
        const size_t hidden = gates.size() - static_cast<size_t>(rows - 1);
        gates.resize(static_cast<size_t>(rows - 1));
        gates.push_back({fmt::format("  ... {} more gates (a taller window shows them)", hidden)});
    }
}

/// The heading and the `rows` newest events.
std::vector<TableLine> EventLines(const Scanner& scanner, int rows) {
    std::vector<TableLine> out{
        {fmt::format("EVENTS ({} received, {} start-up states; newest first)", scanner.EventCount(),
                     scanner.StateCount()),
         true}};
    // Polls of different stations deliver out of time order; the controllers' stamps tell.
    std::vector<const EventRecord*> newest;
    for (const auto& e : scanner.RecentEvents()) {
        if (!e.IsState()) {
            newest.push_back(&e);
        }
    }
    std::stable_sort(newest.begin(), newest.end(), [](const EventRecord* a, const EventRecord* b) {
        return std::pair(a->seconds, a->millis) > std::pair(b->seconds, b->millis);
    });
    for (size_t i = 0; i < newest.size() && static_cast<int>(i) < rows; ++i) {
        out.push_back({EventRow(*newest[i])});
    }
    return out;
}

/// The heading and the `rows` newest log lines; nothing when no row fits.
std::vector<TableLine> LogLines(const LogRouter& log, int rows) {
    std::vector<TableLine> out;
    if (rows > 0) {
        const auto& logLines = log.Recent();
        out.push_back(
            {fmt::format("DRIVER LOG (level {} and above, newest last)", log.ScreenLevel()), true});
        for (size_t i = logLines.size() - static_cast<size_t>(rows); i < logLines.size(); ++i) {
            const auto& l = logLines[i];
            out.push_back({fmt::format("  {} [{:2}] {}", ClockText(l.at), l.level, l.text)});
        }
    }
    return out;
}

void Append(std::vector<TableLine>& out, const std::vector<TableLine>& lines) {
    out.insert(out.end(), lines.begin(), lines.end());
}

} // namespace

std::vector<TableLine> BuildTable(const Scanner& scanner, const LogRouter& log,
                                  const ViewInfo& info, int width, int height) {
    const std::vector<TableLine> head = HeadLines(info);
    std::vector<TableLine> gates = GateLines(scanner);
    const std::vector<TableLine> alerts = AlertLines();
    const std::vector<TableLine> stations = StationLines(scanner);
    const std::vector<TableLine> trace = TraceLines(info);

    // Events and log lines take what the fixed sections leave; gates give way last.
    const int fixed =
        static_cast<int>(head.size() + alerts.size() + stations.size() + trace.size()) + 1;
    int room = height - 1 - fixed;
    // Keep the events' heading and three of them in sight on a small screen.
    FitGates(gates, std::min(static_cast<int>(gates.size()), std::max(room - 4, 1)));
    room -= static_cast<int>(gates.size());
    const int eventRows = std::clamp(room - 1, 0, kMaxEventRows);
    room -= eventRows + 1;
    const int logRows =
        std::clamp(room - 1, 0, std::min(kMaxLogRows, static_cast<int>(log.Recent().size())));

    std::vector<TableLine> out = head;
    Append(out, gates);
    Append(out, EventLines(scanner, eventRows));
    Append(out, alerts);
    Append(out, stations);
    Append(out, trace);
    Append(out, LogLines(log, logRows));
    for (auto& line : out) {
        line.text = Fit(std::move(line.text), width - 1);
    }
    return out;
}

TerminalTable::~TerminalTable() {
    Finish();
}

void TerminalTable::Draw(const Scanner& scanner, const LogRouter& log, const ViewInfo& info) {
    const TerminalSize size = StdoutSize().value_or(TerminalSize{120, 40});
    DrawLines(BuildTable(scanner, log, info, size.width, size.height));
}

void TerminalTable::DrawLines(const std::vector<TableLine>& lines) {
    std::string out;
    if (!cursorHidden_) {
        out += "\x1b[?25l";
        cursorHidden_ = true;
    }
    if (drawn_ > 0) {
        out += fmt::format("\x1b[{}F", drawn_); // back to the table's first line
    }
    for (const auto& line : lines) {
        out += "\x1b[2K";
        if (line.heading || line.warning || line.health) {
            out += line.heading ? "\x1b[1m" : line.health ? HealthColour(*line.health) : "\x1b[31m";
            out += line.text + "\x1b[0m";
        } else {
            out += line.text;
        }
        out += '\n';
    }
    out += "\x1b[J"; // a shorter table leaves nothing of the longer one below it
    drawn_ = static_cast<int>(lines.size());
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

void TerminalTable::Finish() {
    if (cursorHidden_) {
        std::fputs("\x1b[?25h", stdout);
        std::fflush(stdout);
        cursorHidden_ = false;
    }
}

} // namespace merixhost
