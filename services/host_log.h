// The one way the driver writes to the host's log.
#pragma once

namespace merix {

inline constexpr int kLogDetail = 8;
inline constexpr int kLogError = 32;
inline constexpr int kLogSummary = 0;

/// Formats one line (bounded; an over-long line is cut) and hands it to the host's log
/// function at the given level.
void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

} // namespace merix
