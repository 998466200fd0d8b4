// A small plot drawn as inline SVG, for the run report: one x axis of seconds since the run's
// start, one y axis from 0, and bands, lines and stacked bars over intervals of equal length.
// No script, font or style from outside: the page must print and open without a network.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace merixhost {

/// `text` fit for HTML and SVG text and attribute values: & < > " ' as entities, and control
/// characters (which the driver's texts may carry) as '?'.
std::string EscapeMarkup(std::string_view text);

/// A series over the intervals of a run, one value each; NaN where the interval has none.
using IntervalValues = std::vector<double>;

class SvgPlot {
public:
    /// `intervals` intervals of `intervalSeconds` each; `yUnit` labels the y axis ("ms").
    SvgPlot(std::string title, size_t intervals, double intervalSeconds, std::string yUnit);

    /// A filled band between `low` and `high`; gaps where either is NaN.
    void Band(const IntervalValues& low, const IntervalValues& high, std::string_view colour);
    /// A line through the middle of each interval; gaps where the value is NaN.
    void Line(const IntervalValues& values, std::string_view colour, std::string label);
    /// One layer of bars, stacked on the layers added before it.
    void StackedBars(const IntervalValues& values, std::string_view colour, std::string label);

    /// The whole <svg> element. The y axis reaches the highest value drawn (at least 1).
    std::string Svg() const;

private:
    struct Shape {
        enum Kind { kBand, kLine, kBars } kind;
        IntervalValues a, b; // band: low, high; line: values; bars: bottom, top
        std::string colour;
    };
    struct LegendEntry {
        std::string label, colour;
    };

    double X(double seconds) const;
    double Y(double value, double yMax) const;
    double YMax() const;
    std::string Axes(double yMax) const;
    std::string Draw(const Shape& shape, double yMax) const;
    std::string BandPath(const Shape& shape, double yMax) const;
    std::string LinePath(const IntervalValues& values, double yMax) const;
    std::string Legend() const;

    std::string title_;
    size_t intervals_;
    double intervalSeconds_;
    std::string yUnit_;
    std::vector<Shape> shapes_;
    std::vector<LegendEntry> legend_;
    IntervalValues stackTop_;
};

} // namespace merixhost
