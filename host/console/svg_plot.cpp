#include "host/console/svg_plot.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace merixhost {
namespace {

// The drawing's own units. At 680 wide it fills the printable width of A4 portrait (about
// 180 mm) with text that stays legible; the page scales it to the column.
constexpr double kWidth = 680;
constexpr double kHeight = 148;
constexpr double kLeft = 56;
constexpr double kRight = 668;
constexpr double kTop = 34;
constexpr double kBottom = 126;

bool Finite(double v) {
    return std::isfinite(v);
}

/// A step of 1, 2 or 5 times a power of ten that cuts `range` into about `parts`.
double NiceStep(double range, int parts) {
    const double raw = range / parts;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0}) {
        if (m * magnitude >= raw) {
            return m * magnitude;
        }
    }
    return 10 * magnitude;
}

struct TimeUnit {
    double seconds;
    const char* name;
};

TimeUnit UnitFor(double totalSeconds) {
    if (totalSeconds <= 180) {
        return {1, "s"};
    }
    if (totalSeconds <= 3 * 3600) {
        return {60, "min"};
    }
    return {3600, "h"};
}

} // namespace

std::string EscapeMarkup(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            const auto u = static_cast<unsigned char>(c);
            out += (u < 0x20 && c != '\t' && c != '\n') || u == 0x7F ? '?' : c;
        }
    }
    return out;
}

SvgPlot::SvgPlot(std::string title, size_t intervals, double intervalSeconds, std::string yUnit)
    : title_(std::move(title)), intervals_(std::max<size_t>(intervals, 1)),
      intervalSeconds_(intervalSeconds > 0 ? intervalSeconds : 1), yUnit_(std::move(yUnit)),
      stackTop_(intervals_, 0.0) {}

void SvgPlot::Band(const IntervalValues& low, const IntervalValues& high, std::string_view colour) {
    shapes_.push_back({Shape::kBand, low, high, std::string(colour)});
}

void SvgPlot::Line(const IntervalValues& values, std::string_view colour, std::string label) {
    shapes_.push_back({Shape::kLine, values, {}, std::string(colour)});
    legend_.push_back({std::move(label), std::string(colour)});
}

void SvgPlot::StackedBars(const IntervalValues& values, std::string_view colour,
                          std::string label) {
    IntervalValues bottom = stackTop_;
    for (size_t i = 0; i < stackTop_.size() && i < values.size(); ++i) {
        if (Finite(values[i]) && values[i] > 0) {
            stackTop_[i] += values[i];
        }
    }
    shapes_.push_back({Shape::kBars, std::move(bottom), stackTop_, std::string(colour)});
    legend_.push_back({std::move(label), std::string(colour)});
}

double SvgPlot::X(double seconds) const {
    return kLeft +
           (kRight - kLeft) * seconds / (static_cast<double>(intervals_) * intervalSeconds_);
}

double SvgPlot::Y(double value, double yMax) const {
    return kBottom - (kBottom - kTop) * value / yMax;
}

double SvgPlot::YMax() const {
    double top = 0;
    for (const Shape& s : shapes_) {
        for (const IntervalValues* v : {&s.a, &s.b}) {
            for (const double x : *v) {
                top = Finite(x) ? std::max(top, x) : top;
            }
        }
    }
    top = std::max(top, 1.0);
    const double step = NiceStep(top, 4);
    return std::ceil(top / step) * step;
}

std::string SvgPlot::Axes(double yMax) const {
    std::string out;
    const double yStep = NiceStep(yMax, 4);
    for (double v = 0; v <= yMax * (1 + 1e-9); v += yStep) {
        const double y = Y(v, yMax);
        out += fmt::format(R"(<line x1="{:.1f}" y1="{:.1f}" x2="{:.1f}" y2="{:.1f}" class="grid"/>)"
                           R"(<text x="{:.1f}" y="{:.1f}" class="yl">{:g}</text>)",
                           kLeft, y, kRight, y, kLeft - 4, y + 4, v);
    }
    const double total = static_cast<double>(intervals_) * intervalSeconds_;
    const TimeUnit unit = UnitFor(total);
    const double xStep = NiceStep(total / unit.seconds, 6);
    for (double v = 0; v * unit.seconds <= total * (1 + 1e-9); v += xStep) {
        const double x = X(v * unit.seconds);
        out += fmt::format(R"(<line x1="{0:.1f}" y1="{1:.1f}" x2="{0:.1f}" y2="{2:.1f}" )"
                           R"(class="axis"/><text x="{0:.1f}" y="{3:.1f}" class="xl">{4:g}</text>)",
                           x, kBottom, kBottom + 4, kBottom + 16, v);
    }
    out += fmt::format(R"(<text x="{:.1f}" y="{:.1f}" class="xu">{}</text>)", kLeft - 10,
                       kBottom + 16, unit.name);
    out += fmt::format(R"(<text x="{:.1f}" y="{:.1f}" class="yu">{}</text>)", kLeft - 4, kTop - 8,
                       EscapeMarkup(yUnit_));
    out +=
        fmt::format(R"(<line x1="{0:.1f}" y1="{1:.1f}" x2="{2:.1f}" y2="{1:.1f}" class="axis"/>)",
                    kLeft, kBottom, kRight);
    return out;
}

std::string SvgPlot::BandPath(const Shape& shape, double yMax) const {
    // One step per interval: the band says what each interval held, not a trend between them.
    std::string d;
    for (size_t i = 0; i < intervals_ && i < shape.a.size() && i < shape.b.size(); ++i) {
        if (Finite(shape.a[i]) && Finite(shape.b[i])) {
            const double x0 = X(static_cast<double>(i) * intervalSeconds_);
            const double x1 = X(static_cast<double>(i + 1) * intervalSeconds_);
            // A band of no height still shows, as a hairline.
            const double y0 = Y(shape.b[i], yMax);
            const double y1 = std::max(Y(shape.a[i], yMax), y0 + 1);
            d += fmt::format("M{:.1f} {:.1f}H{:.1f}V{:.1f}H{:.1f}Z", x0, y0, x1, y1, x0);
        }
    }
    return d;
}

std::string SvgPlot::LinePath(const IntervalValues& values, double yMax) const {
    std::string d;
    bool inRun = false;
    for (size_t i = 0; i < intervals_ && i < values.size(); ++i) {
        if (!Finite(values[i])) {
            inRun = false;
            continue;
        }
        const double x = X((static_cast<double>(i) + 0.5) * intervalSeconds_);
        const double y = Y(values[i], yMax);
        const bool alone = (i + 1 >= values.size() || !Finite(values[i + 1])) && !inRun;
        // A value between two gaps is a short dash, so that it is not lost.
        d += alone ? fmt::format("M{:.1f} {:.1f}h6", x - 3, y)
                   : fmt::format("{}{:.1f} {:.1f}", inRun ? "L" : "M", x, y);
        inRun = !alone;
    }
    return d;
}

std::string SvgPlot::Draw(const Shape& shape, double yMax) const {
    switch (shape.kind) {
    case Shape::kBand:
        return fmt::format(R"(<path d="{}" fill="{}" fill-opacity="0.35"/>)", BandPath(shape, yMax),
                           shape.colour);
    case Shape::kLine:
        return fmt::format(R"(<path d="{}" fill="none" stroke="{}" stroke-width="1.6"/>)",
                           LinePath(shape.a, yMax), shape.colour);
    case Shape::kBars:
        break;
    }
    std::string out;
    const double gap = 0.1 * (X(intervalSeconds_) - X(0));
    for (size_t i = 0; i < intervals_ && i < shape.b.size(); ++i) {
        if (shape.b[i] > shape.a[i]) {
            const double x = X(static_cast<double>(i) * intervalSeconds_) + gap;
            const double top = Y(shape.b[i], yMax);
            out += fmt::format(R"(<rect x="{:.1f}" y="{:.1f}" width="{:.1f}" height="{:.1f}" )"
                               R"(fill="{}"/>)",
                               x, top, X(intervalSeconds_) - X(0) - 2 * gap,
                               Y(shape.a[i], yMax) - top, shape.colour);
        }
    }
    return out;
}

std::string SvgPlot::Legend() const {
    std::string out;
    double x = kRight;
    // Right-aligned from the last entry backwards, so the title keeps the left.
    for (auto it = legend_.rbegin(); it != legend_.rend(); ++it) {
        const double textWidth = 6.2 * static_cast<double>(it->label.size());
        x -= textWidth;
        out += fmt::format(R"(<text x="{:.1f}" y="14" class="lg">{}</text>)"
                           R"(<rect x="{:.1f}" y="6" width="9" height="9" fill="{}"/>)",
                           x, EscapeMarkup(it->label), x - 13, it->colour);
        x -= 24;
    }
    return out;
}

std::string SvgPlot::Svg() const {
    const double yMax = YMax();
    std::string out =
        fmt::format(R"(<svg viewBox="0 0 {:g} {:g}" class="plot" role="img" aria-label="{}">)"
                    R"(<text x="4" y="14" class="title">{}</text>)",
                    kWidth, kHeight, EscapeMarkup(title_), EscapeMarkup(title_));
    out += Axes(yMax);
    bool any = false;
    for (const Shape& s : shapes_) {
        out += Draw(s, yMax);
        // Bars of zero are drawn as nothing; a line or a band at zero is still a value.
        const auto drawn = [&s](double v) {
            return Finite(v) && (v > 0 || s.kind != Shape::kBars);
        };
        any = any || std::any_of(s.a.begin(), s.a.end(), drawn) ||
              std::any_of(s.b.begin(), s.b.end(), drawn);
    }
    if (!any) {
        out += fmt::format(R"(<text x="{:.1f}" y="{:.1f}" class="none">nothing recorded</text>)",
                           (kLeft + kRight) / 2, (kTop + kBottom) / 2);
    }
    return out + Legend() + "</svg>";
}

} // namespace merixhost
