#include "services/timers.h"

#include "platform/platform.h"

namespace merix {

namespace {
double ProcessSeconds() {
    return static_cast<double>(plat::ClockMs()) * 0.001;
}
} // namespace

double TimerStart(double& timer) {
    timer = ProcessSeconds();
    return timer;
}

double TimerElapsed(const double& timer) {
    return ProcessSeconds() - timer;
}

} // namespace merix
