#include "transactions/station_demotion.h"

#include "platform/platform.h"
#include "services/host_log.h"
#include "services/instance_room.h"
#include "services/line_statistics.h"
#include "transactions/station_entry.h"

namespace merix {

namespace {

/// The station's demotion record, when DEMOTE is set and the station has a state entry.
StationDemotion* Record(const DriverContext& ctx, int32_t station, int* seconds = nullptr) {
    InstanceRoom* room = FindInstanceRoom(ctx);
    if (room == nullptr || room->settings.demoteSeconds <= 0 || !HasStationEntry(station)) {
        return nullptr;
    }
    if (seconds != nullptr) {
        *seconds = room->settings.demoteSeconds;
    }
    return &room->demotion[station];
}

} // namespace

Demotion CheckDemotion(const DriverContext& ctx, int32_t station) {
    int seconds = 0;
    StationDemotion* d = Record(ctx, station, &seconds);
    if (d == nullptr || d->why == nullptr) {
        return Demotion::kNone;
    }
    const uint64_t now = plat::ClockMs();
    if (now >= d->untilMs) {
        d->probing = true;
        return Demotion::kProbe;
    }
    CountLine(ctx, station, LineCounter::kDemoted);
    if (!d->said) {
        d->said = true;
        Log(kLogError,
            "MERIX> PLC %d demoted for %d s after %s: its transactions answer 2 at once until "
            "one probe after the period",
            static_cast<int>(station), seconds, d->why);
    }
    return Demotion::kRefused;
}

void Demote(const DriverContext& ctx, int32_t station, const char* why) {
    int seconds = 0;
    StationDemotion* d = Record(ctx, station, &seconds);
    if (d == nullptr) {
        return;
    }
    d->untilMs = plat::ClockMs() + static_cast<uint64_t>(seconds) * 1000;
    d->why = why;
    d->said = false;
    d->probing = false;
}

void EndProbe(const DriverContext& ctx, int32_t station, bool failed) {
    StationDemotion* d = Record(ctx, station);
    if (d == nullptr || !d->probing) {
        return; // not probed, or demoted again by the failure itself
    }
    if (failed) {
        Demote(ctx, station, d->why);
        return;
    }
    *d = StationDemotion{};
    Log(kLogError, "MERIX> PLC %d answers again: no longer demoted", static_cast<int>(station));
}

uint32_t DemotionSecondsLeft(const DriverContext& ctx, int32_t station) {
    const StationDemotion* d = Record(ctx, station);
    const uint64_t now = plat::ClockMs();
    if (d == nullptr || d->why == nullptr || now >= d->untilMs) {
        return 0;
    }
    return static_cast<uint32_t>((d->untilMs - now + 999) / 1000);
}

} // namespace merix
