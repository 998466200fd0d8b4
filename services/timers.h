// Process-time stopwatches in seconds, on the platform's wall clock since load.
#pragma once

namespace merix {

/// Stores the current process time (seconds) in the timer and returns it.
double TimerStart(double& timer);
/// Current process time minus the stored instant, in seconds.
double TimerElapsed(const double& timer);

} // namespace merix
