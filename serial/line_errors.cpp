#include "serial/line_errors.h"

#include "serial/com_port.h"
#include "serial/line_trace.h"
#include "services/instance_room.h"
#include "services/line_statistics.h"

namespace merix {

void TakeLineErrors(const DriverContext& ctx, int32_t station) {
    const InstanceRoom* room = FindInstanceRoom(ctx);
    plat::LineErrors errors;
    if (room == nullptr || !room->lineErrorsReported || !ComLineErrors(ctx.hf, &errors)) {
        return;
    }
    if (errors.framing + errors.parity + errors.overrun == 0) {
        return;
    }
    CountLine(ctx, station, LineCounter::kFraming, errors.framing);
    CountLine(ctx, station, LineCounter::kParity, errors.parity);
    CountLine(ctx, station, LineCounter::kOverrun, errors.overrun);
    TraceLineErrors(ctx, errors.framing, errors.parity, errors.overrun);
}

} // namespace merix
