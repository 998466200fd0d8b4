#include "host/console/duration.h"

#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

namespace merixhost {

std::optional<Millis> ParseDuration(std::string_view text) {
    double scale = 1000.0; // a bare number counts seconds
    if (text.ends_with("ms")) {
        scale = 1.0;
        text.remove_suffix(2);
    } else if (text.ends_with("s")) {
        text.remove_suffix(1);
    } else if (text.ends_with("m")) {
        scale = 60000.0;
        text.remove_suffix(1);
    }
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    for (char c : text) {
        if ((c < '0' || c > '9') && c != '.') {
            return std::nullopt; // no signs, exponents or blanks
        }
    }
    const std::string number(text);
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    const double millis = value * scale;
    if (millis > 1e12) {
        return std::nullopt;
    }
    return Millis(static_cast<long long>(std::llround(millis)));
}

std::string FormatDuration(Millis duration) {
    const auto ms = duration.count();
    if (ms % 60000 == 0 && ms >= 60000) {
        return fmt::format("{}m", ms / 60000);
    }
    if (ms % 1000 == 0) {
        return fmt::format("{}s", ms / 1000);
    }
    if (ms > 1000) {
        return fmt::format("{:g}s", static_cast<double>(ms) / 1000.0);
    }
    return fmt::format("{}ms", ms);
}

} // namespace merixhost
