#include "services/line_statistics.h"

#include "platform/platform.h"
#include "services/instance_table.h"

namespace merix {

namespace {

struct Counts {
    uint32_t value[kLineCounterCount] = {};
};

struct LineCounts {
    Counts station[kStationCount]; // [0]: the line's own, where only the turnaround is kept
    int64_t switchedAt = 0;        // performance counter ticks; 0: no switch to time from
};

InstanceTable<LineCounts> g_counts;

constexpr int Index(LineCounter counter) {
    return static_cast<int>(counter);
}

bool Counted(int32_t station) {
    return station >= 1 && station < kStationCount;
}

} // namespace

bool PrepareLineStatistics(const DriverContext& ctx) {
    return g_counts.Claim(ctx) != nullptr;
}

void CountLine(const DriverContext& ctx, int32_t station, LineCounter counter, uint32_t n) {
    if (!Counted(station)) {
        return;
    }
    if (LineCounts* counts = g_counts.Find(ctx)) {
        counts->station[station].value[Index(counter)] += n; // 32 bits, wrapping as HMIs expect
    }
}

void NoteReceiveSwitch(const DriverContext& ctx, int64_t ticks) {
    if (LineCounts* counts = g_counts.Find(ctx)) {
        counts->switchedAt = ticks;
    }
}

void NoteFirstReplyBytes(const DriverContext& ctx, int32_t station, uint32_t bytes) {
    LineCounts* counts = g_counts.Find(ctx);
    if (counts == nullptr || !Counted(station) || counts->switchedAt == 0 ||
        ctx.perfFrequency <= 0) {
        return;
    }
    int64_t now = 0;
    plat::QueryPerformanceCounter(&now);
    const int64_t ticks = now - counts->switchedAt;
    const double us = static_cast<double>(ticks) * 1e6 / static_cast<double>(ctx.perfFrequency) -
                      bytes * static_cast<double>(ctx.msecPerChar) * 1000.0;
    const uint32_t turnaround = us <= 0.0 ? 0 : us >= 4e9 ? UINT32_MAX : static_cast<uint32_t>(us);
    counts->station[station].value[Index(LineCounter::kTurnaround)] = turnaround;
    counts->station[0].value[Index(LineCounter::kTurnaround)] = turnaround;
    counts->switchedAt = 0; // one reply per switch
}

std::optional<uint32_t> ReadLineCounter(const DriverContext& ctx, int32_t station,
                                        LineCounter counter) {
    if (station < 0 || station >= kStationCount) {
        return std::nullopt;
    }
    const LineCounts* counts = g_counts.Find(ctx);
    if (counts == nullptr) {
        return 0;
    }
    if (station != 0 || counter == LineCounter::kTurnaround) {
        return counts->station[station].value[Index(counter)];
    }
    uint32_t sum = 0;
    for (int s = 1; s < kStationCount; ++s) {
        sum += counts->station[s].value[Index(counter)];
    }
    return sum;
}

void ClearLineCounters(const DriverContext& ctx, int32_t station) {
    LineCounts* counts = g_counts.Find(ctx);
    if (counts == nullptr || station < 0 || station >= kStationCount) {
        return;
    }
    if (station == 0) {
        for (Counts& c : counts->station) {
            c = Counts{};
        }
    } else {
        counts->station[station] = Counts{};
    }
}

void ReleaseLineStatistics() {
    g_counts.ReleaseAll();
}

} // namespace merix
