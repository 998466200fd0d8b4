#include "host/console/summary.h"

#include <fmt/format.h>

#include "host/qorlib_control.h"

namespace merixhost {

std::vector<std::string> StationLines(const Scanner& scanner) {
    std::vector<std::string> lines;
    const auto& ctx = scanner.Context();
    const auto& table = scanner.Stations();
    for (size_t st = 1; st < table.size(); ++st) {
        if (table[st].used) {
            lines.push_back(fmt::format("station {}: {}, {}", st, CountersText(table[st]),
                                        StationStateShown(table[st], ctx.plcState[st])));
        }
    }
    if (table[0].Counted()) {
        lines.push_back(fmt::format("line: {}", CountersText(table[0])));
    }
    return lines;
}

std::optional<std::string> DemotedLine(const Scanner& scanner) {
    const auto& ctx = scanner.Context();
    const auto& table = scanner.Stations();
    size_t scanned = 0;
    size_t demoted = 0;
    bool counted = false;
    for (size_t st = 1; st < table.size(); ++st) {
        if (table[st].used) {
            ++scanned;
            counted = counted || table[st].Counted();
            demoted += DemotionLeft(table[st], ctx.plcState[st]) > 0 ? 1 : 0;
        }
    }
    // Without the driver's statistics gates nothing tells a demotion.
    if (!counted) {
        return std::nullopt;
    }
    return fmt::format("stations demoted: {} of {}", demoted, scanned);
}

std::vector<std::string> SummaryLines(const Scanner& scanner, const RunOutcome& outcome) {
    std::vector<std::string> lines;
    lines.push_back(
        fmt::format("merixhost stopped after {:.1f} s ({}).", outcome.seconds, outcome.reason));
    lines.push_back(fmt::format("  driver: EndVpi -> {}, port {}", outcome.endResult,
                                outcome.portClosed ? "closed" : "STILL OPEN"));
    size_t scanned = 0;
    size_t refused = 0;
    uint64_t accesses = 0;
    uint64_t failures = 0;
    for (const auto& g : scanner.Gates()) {
        if (!g.Accepted()) {
            ++refused;
            continue;
        }
        if (g.kind == GateKind::EventGate) {
            continue;
        }
        ++scanned;
        accesses += g.accesses;
        failures += g.failures;
    }
    lines.push_back(fmt::format("  gates: {} scanned, {} refused by the driver; {} reads and "
                                "writes, {} failed",
                                scanned, refused, accesses, failures));
    lines.push_back(fmt::format("  events: {} received, {} start-up states", scanner.EventCount(),
                                scanner.StateCount()));
    const auto alerts = qorlib::Alerts();
    lines.push_back(fmt::format("  alerts: {} raised, {} still open", alerts.size(),
                                qorlib::OpenAlerts().size()));
    if (const auto demoted = DemotedLine(scanner)) {
        lines.push_back("  " + *demoted);
    }
    for (const auto& line : StationLines(scanner)) {
        lines.push_back("  " + line);
    }
    for (const auto& f : outcome.files) {
        lines.push_back("  " + f);
    }
    return lines;
}

} // namespace merixhost
