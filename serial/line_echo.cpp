#include "serial/line_echo.h"

#include <algorithm>
#include <cstring>

#include "serial/com_port.h"
#include "serial/function_table.h"
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

/// Whether the reply to the request in ctx.txBuf repeats it, so that it cannot show its echo.
bool ReplyRepeatsRequest(const DriverContext& ctx, uint32_t length) {
    return length > 1 && (ctx.txBuf[1] == kWriteSingleCoil || ctx.txBuf[1] == kWriteSingleRegister);
}

/// Whether the echo may still be found on this line: a serial line not yet known to echo.
bool EchoUnknown(const InstanceRoom& room) {
    // A device server turns the line around itself and hears nothing of it.
    return !room.settings.echo && !room.echoSeen && !LineTurnOf(room.direction).OnTheNetwork();
}

void SayLineEchoes(const DriverContext& ctx, InstanceRoom& room) {
    room.echoSeen = true;
    const std::string_view port = LinePortName(ctx);
    Log(kLogError,
        "MERIX> %.*s echoes every request: its echo is read before each reply from now on; put "
        "ECHO = ON in the initialisation file, so that no write is confirmed by its own echo",
        static_cast<int>(port.size()), port.data());
}

} // namespace

bool TakeLineEcho(const DriverContext& ctx, int32_t station, uint32_t length) {
    InstanceRoom* room = FindInstanceRoom(ctx);
    if (room == nullptr) {
        return true;
    }
    room->earlyLength = room->earlyAt = 0; // nothing of an earlier request's reception
    if (room->settings.echo || room->echoSeen) {
        if (EchoMatches(ctx, length)) {
            return true;
        }
        CountLine(ctx, station, LineCounter::kEcho);
        return false;
    }
    // A single write's reply repeats its request byte for byte: from a station that answers
    // at once (a slave on a pseudo-terminal, one that does not wait out the silence) it would
    // pass for an echo. Only a request whose reply differs from it can show the echo.
    if (!EchoUnknown(*room) || ReplyRepeatsRequest(ctx, length) ||
        !SwitchedBeforeAnyAnswer(ctx, length)) {
        return true;
    }
    // What is there already, and no more: a read of the whole echo would wait for bytes that
    // may never come.
    const uint32_t pending = std::min(ComPending(ctx.hf), length);
    uint32_t read = 0;
    if (pending == 0 || ComRead(ctx.hf, room->early, pending, &read) != kComOk || read == 0) {
        return true;
    }
    if (std::memcmp(room->early, ctx.txBuf, read) != 0) {
        // No repeat of the request: a station's reply after all (one that answered sooner than
        // a line allows). The receiver takes these bytes first.
        room->earlyLength = read;
        return true;
    }
    uint32_t rest = 0;
    if (read < length &&
        (ComRead(ctx.hf, room->early + read, length - read, &rest) != kComOk ||
         std::memcmp(room->early + read, ctx.txBuf + read, rest) != 0 || read + rest < length)) {
        room->earlyLength = read + rest; // the request's first bytes, then something else
        return true;
    }
    SayLineEchoes(ctx, *room);
    return true;
}

bool TakeLateLineEcho(DriverContext& ctx, uint32_t length, uint32_t received) {
    InstanceRoom* room = FindInstanceRoom(ctx);
    if (room == nullptr || !EchoUnknown(*room) || ReplyRepeatsRequest(ctx, length) ||
        received < 3 || length > sizeof ctx.rxBuf || received > sizeof ctx.rxBuf ||
        std::memcmp(ctx.rxBuf, ctx.txBuf, std::min(received, length)) != 0) {
        return false;
    }
    if (received < length) {
        // The rest of the echo, when it is there already: no reply that failed waits longer
        // for being compared. What is no echo is dropped, as the failed reply's rest would be.
        uint32_t read = 0;
        if (ComPending(ctx.hf) < length - received ||
            ComRead(ctx.hf, ctx.rxBuf + received, length - received, &read) != kComOk ||
            read != length - received ||
            std::memcmp(ctx.rxBuf + received, ctx.txBuf + received, read) != 0) {
            return false;
        }
    } else {
        const uint32_t behind = received - length; // the reply's first bytes
        if (behind > sizeof room->early) {
            return false;
        }
        std::memcpy(room->early, ctx.rxBuf + length, behind);
        room->earlyLength = behind;
        room->earlyAt = 0;
    }
    SayLineEchoes(ctx, *room);
    return true;
}

} // namespace merix
