// Time since the line trace or the line capture began, in microseconds: from the host's
// high-resolution counter where it has one, else from the millisecond clock.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace merix {

class LineClock {
public:
    /// Starts at 0 now; `frequency` is the counter's (ctx.perfFrequency), 0 when there is none.
    void Start(int64_t frequency) {
        frequency_ = frequency;
        if (frequency_ > 0) {
            plat::QueryPerformanceCounter(&originTicks_);
        }
        originMs_ = plat::ClockMs();
    }

    int64_t NowUs() const {
        if (frequency_ > 0) {
            int64_t now = 0;
            plat::QueryPerformanceCounter(&now);
            const int64_t d = now - originTicks_;
            // Split, so that a trace left on for months cannot overflow the product.
            return d / frequency_ * 1000000 + d % frequency_ * 1000000 / frequency_;
        }
        return static_cast<int64_t>((plat::ClockMs() - originMs_) * 1000);
    }

private:
    int64_t originTicks_ = 0;
    int64_t frequency_ = 0;
    uint64_t originMs_ = 0;
};

} // namespace merix
