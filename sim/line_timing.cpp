#include "sim/line_timing.h"

#include <algorithm>
#include <cmath>

namespace h51sim {

bool ValidateLineConfig(const LineConfig& c, const char** why) {
    const char* reason = nullptr;
    if (c.baud < 50 || c.baud > 4000000) {
        reason = "baud rate must be 50 to 4000000";
    } else if (c.dataBits < 5 || c.dataBits > 8) {
        reason = "data bits must be 5 to 8";
    } else if (c.stopBits != 1 && c.stopBits != 2) {
        reason = "stop bits must be 1 or 2";
    } else if (!(c.turnaroundMs < 60000.0)) {
        reason = "turnaround must be below 60000 ms";
    }
    if (why != nullptr) {
        *why = reason;
    }
    return reason == nullptr;
}

LineTiming::LineTiming(const LineConfig& c)
    : bitsPerChar_(1 + c.dataBits + (c.parity == Parity::None ? 0 : 1) + c.stopBits),
      charTime_(static_cast<int64_t>(std::llround(1e9 * bitsPerChar_ / std::max(c.baud, 1)))) {
    if (c.turnaroundMs >= 0.0) {
        turnaround_ = Nanos(static_cast<int64_t>(std::llround(c.turnaroundMs * 1e6)));
    } else {
        // Modbus over serial line 2.5.1.1: frames are separated by 3.5 character times.
        turnaround_ = charTime_ * 7 / 2;
    }
}

LineTiming::Nanos LineTiming::SilenceGap() const {
    return std::max<Nanos>(charTime_ * 7 / 2, std::chrono::milliseconds(20));
}

} // namespace h51sim
