#include "host/console/report_html.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>

#include <fmt/format.h>

#include "host/console/svg_plot.h"

namespace merixhost {
namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// One colour per failure kind, in the order of FailureKind.
constexpr const char* kFailureColours[kFailureKinds] = {"#d62728", "#ff7f0e", "#9467bd",
                                                        "#8c564b", "#e377c2", "#7f7f7f"};

// A4 portrait with 12 mm margins leaves 186 mm; the plots take the column's width.
constexpr const char* kStyle = R"(
@page { size: A4 portrait; margin: 12mm; }
body { font-family: sans-serif; font-size: 10pt; color: #222; max-width: 186mm;
       margin: 0 auto; padding: 4mm; background: #fff; }
h1 { font-size: 16pt; margin: 0 0 4mm; }
h2 { font-size: 12.5pt; margin: 5mm 0 2mm; border-bottom: 1px solid #bbb; }
table { border-collapse: collapse; margin: 1mm 0 3mm; }
th, td { text-align: left; padding: 0.6mm 2.5mm 0.6mm 0; vertical-align: top; }
th { font-weight: 600; }
table.counters td, table.counters th { text-align: right; padding-right: 2mm; }
table.notes td { font-size: 8.5pt; }
table.notes td.text { word-break: break-word; }
section.station, section.line { page-break-inside: avoid; break-inside: avoid; }
svg.plot { display: block; width: 100%; height: auto; margin: 1mm 0 2mm; }
svg.plot text { font-family: sans-serif; font-size: 10px; fill: #333; }
svg.plot .title { font-size: 11px; font-weight: 600; }
svg.plot .yl, svg.plot .yu { text-anchor: end; }
svg.plot .xl { text-anchor: middle; }
svg.plot .xu { text-anchor: end; }
svg.plot .none { text-anchor: middle; fill: #888; }
svg.plot .grid { stroke: #e4e4e4; stroke-width: 1; }
svg.plot .axis { stroke: #888; stroke-width: 1; }
p.note { color: #555; font-size: 9pt; }
.bad { color: #b00; }
)";

std::string E(std::string_view text) {
    return EscapeMarkup(text);
}

std::string LengthText(double seconds) {
    if (seconds < 60) {
        return fmt::format("{:.1f} s", seconds);
    }
    const auto whole = static_cast<long long>(std::llround(seconds));
    return fmt::format("{:.0f} s ({}:{:02}:{:02})", seconds, whole / 3600, whole / 60 % 60,
                       whole % 60);
}

std::string Row(std::string_view name, std::string_view escapedValue) {
    return fmt::format("<tr><th>{}</th><td>{}</td></tr>\n", name, escapedValue);
}

std::string HeadSection(const RunReport& r) {
    std::string out = "<h1>merixhost run report</h1>\n<table class=\"run\">\n";
    out += Row("Line", E(r.line.port));
    out += Row("Settings", E(r.line.settings));
    out += Row("Watched by", E(r.line.source));
    out += Row("Started", E(DateTimeText(r.wallStart)));
    out += Row("Length", E(LengthText(r.seconds)));
    out += Row("Plotted in intervals of", fmt::format("{:g} s", r.intervalSeconds));
    return out + "</table>\n";
}

std::string CounterTable(const NamedCounters& counters) {
    if (counters.empty()) {
        return "<p class=\"note\">The driver gave no counters.</p>\n";
    }
    std::string head;
    std::string values;
    for (const auto& [name, value] : counters) {
        head += fmt::format("<th>{}</th>", E(name));
        values += fmt::format("<td>{}</td>", value);
    }
    return fmt::format("<table class=\"counters\"><tr>{}</tr><tr>{}</tr></table>\n", head, values);
}

std::string LineSection(const RunReport& r) {
    std::string out = "<section class=\"line\">\n<h2>The line</h2>\n";
    const double share = r.seconds > 0 ? 100 * r.wireTotal / r.seconds : 0;
    out += fmt::format("<p class=\"occupancy\">Time on the wire: {:.2f} s of {:.1f} s "
                       "(<b>{:.1f} %</b>){}.</p>\n",
                       r.wireTotal, r.seconds, share,
                       r.occupancyEstimated ? ", estimated from the requests and replies of the "
                                              "transactions at the line's character time"
                                            : ", measured");
    IntervalValues percent;
    for (const double w : r.wireSeconds) {
        percent.push_back(100 * w / r.intervalSeconds);
    }
    SvgPlot plot("Occupancy of the line", r.Intervals(), r.intervalSeconds, "%");
    plot.StackedBars(percent, "#1f77b4", "time on the wire");
    out += plot.Svg() + "\n";
    out += "<h3>The driver's counters of the whole line</h3>\n" + CounterTable(r.lineCounters);
    return out + "</section>\n";
}

std::string TurnaroundPlot(const RunReport& r, const StationReport& s) {
    IntervalValues low, mean, high;
    for (const auto& in : s.intervals) {
        const auto m = in.TurnaroundMean();
        low.push_back(m ? in.turnaroundMin : kNone);
        mean.push_back(m ? *m : kNone);
        high.push_back(m ? in.turnaroundMax : kNone);
    }
    SvgPlot plot("Turnaround (minimum to maximum, and the mean)", s.intervals.size(),
                 r.intervalSeconds, "ms");
    plot.Band(low, high, "#2ca02c");
    plot.Line(mean, "#1a6b1a", "mean");
    return plot.Svg();
}

std::string FailurePlot(const RunReport& r, const StationReport& s) {
    SvgPlot plot("Failures per interval, by kind", s.intervals.size(), r.intervalSeconds, "count");
    for (size_t k = 0; k < kFailureKinds; ++k) {
        IntervalValues values;
        for (const auto& in : s.intervals) {
            values.push_back(static_cast<double>(in.failures[k]));
        }
        plot.StackedBars(values, kFailureColours[k],
                         std::string(FailureName(static_cast<FailureKind>(k))));
    }
    return plot.Svg();
}

std::string EventPlot(const RunReport& r, const StationReport& s) {
    IntervalValues perMinute;
    for (const auto& in : s.intervals) {
        perMinute.push_back(static_cast<double>(in.events) * 60 / r.intervalSeconds);
    }
    SvgPlot plot("Events per minute", s.intervals.size(), r.intervalSeconds, "/min");
    plot.StackedBars(perMinute, "#17becf", "events");
    return plot.Svg();
}

std::string StationSummary(const StationReport& s) {
    std::string failures;
    for (size_t k = 0; k < kFailureKinds; ++k) {
        if (s.total.failures[k] > 0) {
            failures += fmt::format(", {} {}", s.total.failures[k],
                                    FailureName(static_cast<FailureKind>(k)));
        }
    }
    const auto mean = s.total.TurnaroundMean();
    const std::string turnaround =
        mean ? fmt::format("; turnaround {:.1f} to {:.1f} ms, mean {:.1f} ms",
                           s.total.turnaroundMin, s.total.turnaroundMax, *mean)
             : "";
    return fmt::format(
        "<p>{} transactions answered, <span{}>{} failed</span>{}; {} events{}.</p>\n",
        s.total.successes, s.total.Failures() > 0 ? " class=\"bad\"" : "", s.total.Failures(),
        failures, s.total.events, turnaround);
}

std::string StationSection(const RunReport& r, const StationReport& s) {
    std::string out = fmt::format("<section class=\"station\" id=\"station-{0}\">\n"
                                  "<h2>Station {0}</h2>\n",
                                  s.station);
    out += StationSummary(s);
    out += CounterTable(s.counters);
    out += TurnaroundPlot(r, s) + "\n" + FailurePlot(r, s) + "\n" + EventPlot(r, s) + "\n";
    return out + "</section>\n";
}

std::string NotesSection(const RunReport& r) {
    std::string out = "<section class=\"notes\">\n<h2>Events and alerts</h2>\n";
    if (r.notesLeftOut > 0) {
        out += fmt::format("<p class=\"note\">{} earlier ones are left out; the newest {} "
                           "follow.</p>\n",
                           r.notesLeftOut, r.notes.size());
    }
    if (r.notes.empty()) {
        return out + "<p class=\"note\">None.</p>\n</section>\n";
    }
    out += "<table class=\"notes\"><tr><th>Time</th><th>Kind</th><th>What</th></tr>\n";
    for (const auto& n : r.notes) {
        out += fmt::format("<tr><td>{}</td><td>{}</td><td class=\"text\">{}</td></tr>\n",
                           E(ClockText(n.at)), E(n.kind), E(n.text));
    }
    return out + "</table>\n</section>\n";
}

} // namespace

std::string ReportHtml(const RunReport& report) {
    std::string out = fmt::format("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n"
                                  "<meta charset=\"utf-8\">\n<title>merixhost: {} at {}</title>\n"
                                  "<style>{}</style>\n</head>\n<body>\n",
                                  E(report.line.port), E(DateTimeText(report.wallStart)), kStyle);
    out += HeadSection(report);
    out += LineSection(report);
    for (const auto& s : report.stations) {
        out += StationSection(report, s);
    }
    if (report.stations.empty()) {
        out += "<p class=\"note\">No station was heard from.</p>\n";
    }
    out += NotesSection(report);
    return out + "</body>\n</html>\n";
}

bool WriteReportHtml(const RunReport& report, const std::string& path, std::string* error) {
    const std::string page = ReportHtml(report);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) {
        out.write(page.data(), static_cast<std::streamsize>(page.size()));
        out.close();
    }
    if (!out) {
        *error = fmt::format("cannot write the report '{}': {}", path, std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace merixhost
