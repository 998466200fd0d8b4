#include "serial/line_echo.h"

#include <algorithm>
#include <cstring>

#include "serial/com_port.h"
#include "serial/line_direction.h"
#include "services/host_log.h"
#include "services/instance_room.h"
#include "services/line_statistics.h"

namespace merix {

namespace {

/// Reads `length` bytes within the port's read timeout: true when they repeat the request.
bool EchoMatches(const DriverContext& ctx, uint32_t length) {
    uint8_t echo[sizeof ctx.txBuf];
    if (length > sizeof echo) {
        return false;
    }
    // One read: it returns once all the bytes came, or when the reply timeout has run out.
    uint32_t read = 0;
    return ComRead(ctx.hf, echo, length, &read) == kComOk && read == length &&
           std::memcmp(echo, ctx.txBuf, length) == 0;
}

/// True when the lines were back in receive state before any station could have begun to
/// answer: within the request's own time and the silence of 3.5 characters (at least 1.75 ms,
/// Modbus over serial line 2.5.1.1) that ends it. Bytes received by then came while the request
/// was sent. A hold that ended late (a preempted thread) leaves it untold.
bool SwitchedBeforeAnyAnswer(const DriverContext& ctx, uint32_t length) {
    if (ctx.perfFrequency <= 0) {
        return false; // no measured hold
    }
    const double charMs = static_cast<double>(ctx.msecPerChar);
    const double quietMs = std::max(3.5 * charMs, 1.75);
    return static_cast<double>(ctx.pracDelay) < length * charMs + quietMs;
}

} // namespace

bool TakeLineEcho(const DriverContext& ctx, int32_t station, uint32_t length) {
    InstanceRoom* room = FindInstanceRoom(ctx);
    if (room == nullptr) {
        return true;
    }
    if (room->settings.echo || room->echoSeen) {
        if (EchoMatches(ctx, length)) {
            return true;
        }
        CountLine(ctx, station, LineCounter::kEcho);
        return false;
    }
    // A device server turns the line around itself and hears nothing of it.
    if (room->direction == LineDirection::kServerSwitched ||
        !SwitchedBeforeAnyAnswer(ctx, length) || ComPending(ctx.hf) == 0) {
        return true;
    }
    if (!EchoMatches(ctx, length)) {
        return false; // no station answers that soon: noise, or a collision
    }
    room->echoSeen = true;
    const std::string_view port = LinePortName(ctx);
    Log(kLogError,
        "MERIX> %.*s echoes every request: its echo is read before each reply from now on; put "
        "ECHO = ON in the initialisation file, so that no write is confirmed by its own echo",
        static_cast<int>(port.size()), port.data());
    return true;
}

} // namespace merix
