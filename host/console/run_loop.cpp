#include "host/console/run_loop.h"

#include <algorithm>
#include <thread>

#include "host/console/terminal.h"

namespace merixhost {

std::string ScanLoop(Scanner& scanner, Demo* plant, const Options& options,
                     const std::function<void()>& refresh, SteadyTime start,
                     std::optional<double> duration) {
    const auto end = duration && *duration > 0
                         ? start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                       std::chrono::duration<double>(*duration))
                         : SteadyTime::max();
    SteadyTime nextRefresh = start;
    while (!StopRequested()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end) {
            return "duration reached";
        }
        if (plant != nullptr) {
            plant->Tick(now);
        }
        const bool ran = scanner.RunNext(now);
        now = std::chrono::steady_clock::now();
        if (now >= nextRefresh) {
            refresh();
            nextRefresh = now + options.refresh;
        }
        if (!ran) {
            // Short naps keep Ctrl-C and the plant's motion responsive.
            const auto wake = std::min({scanner.NextDue(), nextRefresh, end, now + Millis(50)});
            std::this_thread::sleep_until(wake);
        }
    }
    return StopReason();
}

} // namespace merixhost
