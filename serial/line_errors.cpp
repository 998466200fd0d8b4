#include "serial/line_errors.h"

#include "serial/com_port.h"
#include "serial/line_trace.h"
#include "services/host_log.h"
#include "services/instance_room.h"
#include "services/line_statistics.h"

namespace merix {

namespace {

void Add(plat::LineErrors& sum, const plat::LineErrors& more) {
    sum.framing += more.framing;
    sum.parity += more.parity;
    sum.overrun += more.overrun;
}

bool Any(const plat::LineErrors& e) {
    return e.framing + e.parity + e.overrun != 0;
}

void Count(const DriverContext& ctx, int32_t station, const plat::LineErrors& e) {
    CountLine(ctx, station, LineCounter::kFraming, e.framing);
    CountLine(ctx, station, LineCounter::kParity, e.parity);
    CountLine(ctx, station, LineCounter::kOverrun, e.overrun);
}

} // namespace

void TakeLineErrors(const DriverContext& ctx, int32_t station) {
    InstanceRoom* room = FindInstanceRoom(ctx);
    if (room == nullptr) {
        return;
    }
    room->lastAwaited = station;
    plat::LineErrors errors;
    if (!room->lineErrorsReported || !ComLineErrors(ctx.hf, &errors) || !Any(errors)) {
        return;
    }
    Count(ctx, station, errors);
    TraceLineErrors(ctx, errors.framing, errors.parity, errors.overrun);
}

void PurgeStaleInput(const DriverContext& ctx) {
    const InstanceRoom* room = FindInstanceRoom(ctx);
    if (room == nullptr || !room->lineErrorsReported) {
        ComPurge(ctx.hf);
        return;
    }
    // Before the purge: what came with the late bytes that are still to be read away; the
    // purge's own ClearCommError: what came in between; after it: what came with the bytes
    // it read away.
    plat::LineErrors late;
    plat::LineErrors cleared;
    plat::LineErrors stale;
    ComLineErrors(ctx.hf, &late);
    ComPurge(ctx.hf, &cleared);
    ComLineErrors(ctx.hf, &stale);
    Add(late, cleared);
    Add(late, stale);
    if (!Any(late)) {
        return;
    }
    Count(ctx, room->lastAwaited, late);
    TraceLateLineErrors(ctx, room->lastAwaited, late.framing, late.parity, late.overrun);
}

void LearnLineErrorReports(InstanceRoom& room, const char* name, plat::Handle handle) {
    plat::LineErrors before;
    room.lineErrorsReported = ComLineErrors(handle, &before);
    if (!room.lineErrorsReported) {
        Log(kLogDetail, "MERIX> OpenSavedPort() %s reports no line errors: FRM, PAR and OVR stay 0",
            name);
    }
}

} // namespace merix
