// Small helpers shared by the benchmark sections: percentiles and CPU time.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace merix::bench {

inline double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

/// CPU time of this thread in microseconds.
inline double ThreadCpuMicros() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

inline double WallMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

/// Sections of the report, each printing its own table.
void SendTimingSection(int frames);
void TransactionSection(int seconds);
void TraceCostSection(int seconds);
void NetworkSection(int seconds);
/// Its rounds are short of their own, whatever --seconds says: the section takes under a minute.
void DemotionSection();

} // namespace merix::bench
