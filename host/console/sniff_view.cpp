#include "host/console/sniff_view.h"

#include <fmt/format.h>

namespace merixhost {

namespace {

std::string Ms(int64_t us) {
    return fmt::format("{:.1f}", static_cast<double>(us) / 1000.0);
}

std::string TurnText(const HeardStation& s) {
    if (s.turnCount == 0) {
        return "-";
    }
    const auto mean = s.turnSumUs / static_cast<int64_t>(s.turnCount);
    return fmt::format("{}/{}/{}", Ms(s.turnMinUs), Ms(mean), Ms(s.turnMaxUs));
}

std::string PeriodText(const HeardStation& s) {
    if (s.periodCount == 0) {
        return "-";
    }
    const double us = static_cast<double>(s.periodSumUs) / static_cast<double>(s.periodCount);
    return fmt::format("{:.2f} s", us / 1e6);
}

bool Troubled(const HeardStation& s) {
    return s.silences != 0 || s.crcBad != 0 || s.cutShort != 0;
}

} // namespace

std::vector<TableLine> SniffTable(const SniffModel& model, const std::string& title,
                                  double seconds) {
    std::vector<TableLine> lines;
    lines.push_back({title, true});
    lines.push_back({fmt::format("listening for {:.0f} s: {} frames, {} that answer or ask "
                                 "nothing heard, nothing transmitted",
                                 seconds, model.Frames(), model.Strays())});
    lines.push_back({fmt::format("{:>3} {:>8} {:>8} {:>5} {:>7} {:>5} {:>5} {:>20} {:>8}  {}", "st",
                                 "requests", "replies", "exc", "silence", "crc", "short",
                                 "turn ms min/mean/max", "period", "functions"),
                     true});
    const auto& stations = model.Stations();
    for (std::size_t st = 0; st < stations.size(); ++st) {
        const HeardStation& s = stations[st];
        if (!s.Seen()) {
            continue;
        }
        lines.push_back({fmt::format("{:>3} {:>8} {:>8} {:>5} {:>7} {:>5} {:>5} {:>20} {:>8}  {}",
                                     st == 0 ? std::string("all") : std::to_string(st), s.requests,
                                     s.replies, s.exceptions, s.silences, s.crcBad, s.cutShort,
                                     TurnText(s), PeriodText(s), FunctionsText(s)),
                         false, Troubled(s)});
    }
    return lines;
}

std::vector<std::string> SniffSummary(const SniffModel& model) {
    std::vector<std::string> lines;
    const auto& stations = model.Stations();
    for (std::size_t st = 0; st < stations.size(); ++st) {
        const HeardStation& s = stations[st];
        if (!s.Seen()) {
            continue;
        }
        lines.push_back(fmt::format(
            "{}: {} requests, {} replies, {} exceptions, {} silences, {} bad CRC, {} cut short; "
            "turnaround {} ms; period {}; functions {}",
            st == 0 ? std::string("broadcasts") : fmt::format("station {}", st), s.requests,
            s.replies, s.exceptions, s.silences, s.crcBad, s.cutShort, TurnText(s), PeriodText(s),
            FunctionsText(s)));
    }
    lines.push_back(fmt::format("line: {} frames, {} strays", model.Frames(), model.Strays()));
    return lines;
}

} // namespace merixhost
