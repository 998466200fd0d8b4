#include "host/console/scan_report.h"

#include <algorithm>

#include "host/console/scan_lists.h"
#include <fmt/format.h>
#include <fmt/ranges.h>

namespace merixhost {
namespace {

std::string TurnText(const ProbeResult& r) {
    return r.turnaroundUs ? std::to_string(*r.turnaroundUs) : "-";
}

std::string EchoText(const SettingOutcome& o, const ProbeResult& r) {
    std::string text = o.echoes ? "yes" : "no";
    if (r.echoFaults > 0) {
        text += fmt::format(" ({} bad)", r.echoFaults);
    }
    return text;
}

std::string SettingName(const SettingOutcome& o) {
    return fmt::format("{} baud, parity {}", o.baud, ParityName(o.parityCode));
}

} // namespace

std::vector<std::string> FoundTable(const std::vector<SettingOutcome>& outcomes) {
    std::vector<std::string> lines;
    for (const auto& o : outcomes) {
        for (const auto& r : o.found) {
            lines.push_back(fmt::format("{:>7}  {:>6}  {:<6}  {:<14}  {:>7}  {}", r.station, o.baud,
                                        ParityName(o.parityCode), AnswerText(r), TurnText(r),
                                        EchoText(o, r)));
        }
    }
    if (!lines.empty()) {
        lines.insert(lines.begin(), fmt::format("{:>7}  {:>6}  {:<6}  {:<14}  {:>7}  {}", "STATION",
                                                "BAUD", "PARITY", "ANSWER", "TURN us", "ECHO"));
    }
    return lines;
}

std::vector<std::string> SettingLines(const std::vector<SettingOutcome>& outcomes) {
    std::vector<std::string> lines;
    for (const auto& o : outcomes) {
        if (!o.opened) {
            lines.push_back(fmt::format("{}: the port did not open", o.line));
            continue;
        }
        std::string text = fmt::format("{}: {} of {} stations", o.line, o.found.size(), o.tried);
        if (!o.found.empty()) {
            std::vector<std::string> numbers;
            for (const auto& r : o.found) {
                numbers.push_back(std::to_string(r.station));
            }
            text += fmt::format(" ({})", fmt::join(numbers, ", "));
        }
        if (o.garbled > 0) {
            text += fmt::format("; {} garbled replies", o.garbled);
        }
        lines.push_back(text + (o.echoes ? "; the line echoes" : ""));
    }
    return lines;
}

std::string Recommendation(const std::vector<SettingOutcome>& outcomes) {
    size_t most = 0;
    for (const auto& o : outcomes) {
        most = std::max(most, o.found.size());
    }
    if (most == 0) {
        return "no station answered at any setting tried";
    }
    std::vector<std::string> best;
    for (const auto& o : outcomes) {
        if (o.found.size() == most) {
            best.push_back(SettingName(o));
        }
    }
    if (best.size() == 1) {
        return fmt::format("put in the host: {} ({} station{})", best.front(), most,
                           most == 1 ? "" : "s");
    }
    return fmt::format("a tie: {} found {} station{} each; check the stations' own settings",
                       fmt::join(best, " and "), most, most == 1 ? "" : "s");
}

std::string FoundCsv(const std::vector<SettingOutcome>& outcomes) {
    std::string text = "baud,parity,station,answer,value,exception,turn_us,echo,echo_faults\n";
    for (const auto& o : outcomes) {
        for (const auto& r : o.found) {
            const bool exception = r.answer == StationAnswer::Exception;
            text += fmt::format(
                "{},{},{},{},{},{},{},{},{}\n", o.baud, ParityName(o.parityCode), r.station,
                exception ? "exception" : "value", exception ? "" : std::to_string(r.value),
                exception && r.exceptionCode >= 0 ? std::to_string(r.exceptionCode) : "",
                r.turnaroundUs ? std::to_string(*r.turnaroundUs) : "", o.echoes ? "yes" : "no",
                r.echoFaults);
        }
    }
    return text;
}

} // namespace merixhost
