// Durations as users write them: "500ms", "2s", "1.5s", "1m", or a bare number of seconds.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace merixhost {

using Millis = std::chrono::milliseconds;

/// The duration in `text`, or nullopt when it is not a number with an optional unit
/// (ms, s, m) or is negative.
std::optional<Millis> ParseDuration(std::string_view text);

/// "250ms", "2s", "1.5s", "2m".
std::string FormatDuration(Millis duration);

} // namespace merixhost
