#include "serial/line_trace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "serial/capped_file.h"
#include "serial/crc16.h"
#include "serial/frame_text.h"
#include "serial/line_capture.h"
#include "serial/line_clock.h"
#include "serial/line_direction.h"
#include "serial/line_recorder_slots.h"
#include "serial/line_settings_text.h"
#include "serial/protocol.h"
#include "serial/receiver.h"
#include "services/host_log.h"
#include "services/instance_room.h"

namespace merix {

namespace {

// Reads of one reply that the receiver makes: head, byte count, rest; room to spare.
constexpr int kMaxSteps = 8;

struct Step {
    int64_t atUs;   // when the read returned
    uint32_t total; // reply bytes in the buffer then
};

// One attempt: a request and what came back, kept until it is written.
struct Attempt {
    bool pending = false;
    uint8_t tx[kTxBufSize] = {};
    uint32_t txLength = 0;
    bool written = false;
    int64_t sentUs = 0; // the lines were back in receive state
    float calcDelay = 0.0f;
    float pracDelay = 0.0f;
    bool receiving = false;
    int64_t listenUs = 0;
    Step steps[kMaxSteps] = {};
    int stepCount = 0;
    uint32_t rxLength = 0;
    int rxResult = kRxFailed;
    TraceWhy rxWhy = TraceWhy::kNone; // the receiver's reason
    uint8_t rx[kRxBufSize] = {};
    bool told = false;
    TraceOutcome outcome = TraceOutcome::kGood;
    TraceWhy why = TraceWhy::kNone; // the transaction's reason
    int intoError = 0;              // the station this attempt put into error, or 0
    uint32_t lineErrors[3] = {};    // framing, parity, overrun
};

struct Slot {
    const DriverContext* ctx = nullptr; // set while the trace is open
    CappedFile file;
    LineClock clock;
    uint64_t flushedMs = 0;
    Attempt attempt;
    FixedText<4096> line;
    // A room given to another instance, or freed, closes its file with it (CappedFile).
};

void WriteAttempt(Slot& s);
LineRecorderSlots<Slot, WriteAttempt> gSlots("trace");

// The file is full: it becomes the one older file kept, and a new one begins. Should the
// rename fail, the full file stays as it is: the trace ends rather than write over it.
bool Rotate(Slot& s) {
    if (!s.file.Close() || !s.file.MoveToOlder() || !s.file.Open()) {
        return false;
    }
    FixedText<sizeof "# merix line trace, continued (the earlier part is in )\n" + 1026> head;
    head.Printf("# merix line trace, continued (the earlier part is in %s)\n", s.file.Older());
    return s.file.Write(head.View().data(), head.Size());
}

// Writes the line in s.line. On a failure the trace ends, with one line in the host's log,
// and the answer is false.
bool Emit(Slot& s) {
    s.line.Append("\n");
    const std::string_view text = s.line.View();
    bool ok = true;
    if (s.file.Full(text.size())) {
        ok = Rotate(s);
    }
    ok = ok && s.file.Write(text.data(), text.size());
    s.line.Clear();
    if (!ok) {
        gSlots.Fail(s);
    }
    return ok;
}

// A fixed-point number: `value` counts units of its last digit, shown with `decimals` places
// and right-aligned in `width` characters. Written by hand: a printf call, let alone one of a
// floating-point number, costs more than the rest of a trace line together.
void AppendFixed(TextBuffer& out, int64_t value, int decimals, int width) {
    char text[32];
    int n = 0;
    int64_t rest = value < 0 ? 0 : value;
    for (int i = 0; i < decimals; ++i, rest /= 10) {
        text[n++] = static_cast<char>('0' + rest % 10);
    }
    text[n++] = '.';
    do {
        text[n++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest > 0 && n < static_cast<int>(sizeof text));
    while (n < width && n < static_cast<int>(sizeof text)) {
        text[n++] = ' ';
    }
    std::reverse(text, text + n);
    out.Append(std::string_view(text, static_cast<std::size_t>(n)));
}

/// Milliseconds from microseconds, rounded to 1 to 3 decimals.
void AppendMs(TextBuffer& out, int64_t us, int decimals) {
    static constexpr int64_t kUnit[] = {1000, 100, 10, 1}; // microseconds per last digit
    const int64_t unit = kUnit[decimals];
    AppendFixed(out, ((us < 0 ? 0 : us) + unit / 2) / unit, decimals, 0);
}

int64_t Us(float ms) {
    return static_cast<int64_t>(static_cast<double>(ms) * 1000.0 + 0.5);
}

// Seconds since the trace began, to the microsecond, right-aligned, then the direction.
void Stamp(Slot& s, int64_t us, const char* direction) {
    AppendFixed(s.line, us, 6, 13);
    s.line.Append(" ");
    s.line.Append(direction);
    s.line.Append(" ");
}

// Why the attempt was not good, in a few words, with the numbers from the reply's bytes.
void AppendWhy(TextBuffer& out, const Attempt& a) {
    const uint8_t* rx = a.rx;
    const uint32_t n = a.rxLength;
    switch (a.why != TraceWhy::kNone ? a.why : a.rxWhy) {
    case TraceWhy::kSendFailed:
        out.Append("send failed");
        break;
    case TraceWhy::kNoReply:
        out.Append("no reply");
        break;
    case TraceWhy::kCutShort:
        out.Append("reply cut short");
        break;
    case TraceWhy::kOtherStation:
        out.Printf("reply from station %u", n >= 1 ? rx[0] : 0u);
        break;
    case TraceWhy::kOtherFunction:
        out.Printf("reply to function %02X", n >= 2 ? rx[1] : 0u);
        break;
    case TraceWhy::kRefused:
        out.Printf("refused with exception %u", n >= 3 ? rx[2] : 0u);
        break;
    case TraceWhy::kException:
        out.Printf("exception %u", n >= 3 ? rx[2] : 0u);
        break;
    case TraceWhy::kCrcBad:
        out.Append("CRC BAD");
        break;
    case TraceWhy::kEchoDiffers:
        out.Append("echo differs");
        break;
    case TraceWhy::kLineEcho:
        out.Append("line echo missing or changed: a collision");
        break;
    case TraceWhy::kNone:
        out.Append("reply not taken");
        break;
    }
}

void WriteRequest(Slot& s, const Attempt& a) {
    const std::span<const uint8_t> frame(a.tx, a.txLength);
    Stamp(s, a.sentUs - Us(a.pracDelay), "TX");
    AppendHex(s.line, frame);
    s.line.Append(" | ");
    DescribeRequest(s.line, frame);
    s.line.Append(" | hold ");
    AppendMs(s.line, Us(a.calcDelay), 3);
    s.line.Append(" ms planned, ");
    AppendMs(s.line, Us(a.pracDelay), 3);
    s.line.Append(" ms measured");
    if (!a.written) {
        s.line.Append(" | WRITE FAILED");
    }
}

void WriteReply(Slot& s, const Attempt& a, double msecPerChar) {
    const int64_t endUs = a.stepCount > 0 ? a.steps[a.stepCount - 1].atUs : a.listenUs;
    if (a.rxLength == 0) {
        Stamp(s, a.listenUs, "RX");
        s.line.Append("silence for ");
        AppendMs(s.line, endUs - a.listenUs, 1);
        s.line.Append(" ms");
        return;
    }
    const std::span<const uint8_t> frame(a.rx, a.rxLength);
    const Step& first = a.steps[0];
    // The first byte began to arrive a character time per byte before the read returned.
    const int64_t turnaround =
        first.atUs - a.sentUs - static_cast<int64_t>(first.total * msecPerChar * 1000.0);
    Stamp(s, first.atUs, "RX");
    AppendHex(s.line, frame);
    s.line.Append(" | ");
    DescribeReply(s.line, frame);
    // The reads as they returned, from the line switch on: a pause between two of them
    // longer than their bytes' time is a gap inside the reply.
    s.line.Append(" | turnaround ");
    AppendMs(s.line, turnaround, 2);
    s.line.Append(" ms | read");
    uint32_t before = 0;
    for (int i = 0; i < a.stepCount; ++i) {
        const Step& step = a.steps[i];
        if (step.total > before) {
            s.line.Printf("%s %u B at +", before == 0 ? "" : ",", step.total - before);
            AppendMs(s.line, step.atUs - a.sentUs, 2);
            before = step.total;
        }
    }
    s.line.Append(" ms");
}

// Writes the pending attempt: request, reply or silence, and its outcome as it was told.
void WriteAttempt(Slot& s) {
    Attempt& a = s.attempt;
    if (!a.pending) {
        return;
    }
    a.pending = false;
    const DriverContext& ctx = *s.ctx;
    WriteRequest(s, a);
    if (!Emit(s)) {
        return;
    }
    int64_t lastUs = a.sentUs;
    if (a.receiving) {
        WriteReply(s, a, static_cast<double>(ctx.msecPerChar));
        if (!Emit(s)) {
            return;
        }
        lastUs = a.stepCount > 0 ? a.steps[a.stepCount - 1].atUs : a.listenUs;
    }
    Stamp(s, lastUs, "--");
    if (!a.told) {
        s.line.Append("outcome not told");
    } else {
        switch (a.outcome) {
        case TraceOutcome::kGood:
            s.line.Append("good");
            break;
        case TraceOutcome::kNoReplyAwaited:
            s.line.Append("sent, no reply awaited");
            break;
        case TraceOutcome::kRetry:
            s.line.Append("retry: ");
            AppendWhy(s.line, a);
            break;
        case TraceOutcome::kFailed:
            s.line.Append("failed: ");
            AppendWhy(s.line, a);
            break;
        }
    }
    if (a.lineErrors[0] + a.lineErrors[1] + a.lineErrors[2] > 0) {
        s.line.Printf("; line errors: %u framing, %u parity, %u overrun", a.lineErrors[0],
                      a.lineErrors[1], a.lineErrors[2]);
    }
    if (a.intoError > 0) {
        s.line.Printf("; station %d put into error", a.intoError);
    }
    Emit(s);
}

// A line of its own, after the attempt before it; false when the trace ended on the way.
bool BeginOwnLine(Slot& s) {
    WriteAttempt(s);
    if (s.ctx == nullptr) {
        return false;
    }
    Stamp(s, s.clock.NowUs(), "--");
    return true;
}

} // namespace

void StartLineTrace(DriverContext& ctx, const char* path, int maxMiB) {
    gSlots.Retire(ctx);
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    Slot* slot = gSlots.Claim(ctx);
    if (slot == nullptr) {
        Log(kLogError, "MERIX> Line trace '%s' not started: no memory for instance %u", path,
            ctx.vpiNumber);
        return;
    }
    Slot& s = *slot;
    if (!s.file.Name(path, maxMiB) || !s.file.Open()) {
        Log(kLogError, "MERIX> Line trace file '%s' cannot be opened: no trace", path);
        return;
    }
    gSlots.Opened(s, ctx);
    s.clock.Start(ctx.perfFrequency);
    s.attempt.pending = false;
    const plat::LocalTime t = plat::Now();
    const std::string_view port = LinePortName(ctx);
    s.line.Printf("# merix line trace of instance %u, port %.*s ", ctx.vpiNumber,
                  static_cast<int>(port.size()), port.data());
    AppendLineSettings(s.line, ctx);
    s.line.Printf("; started %04d-%02d-%02d %02d:%02d:%02d; times in seconds since then", t.year,
                  t.month, t.day, t.hour, t.minute, t.second);
    if (Emit(s)) {
        if (!s.file.Flush()) {
            gSlots.Fail(s);
            return;
        }
        Log(kLogError, "MERIX> Line trace to '%s', at most %d MiB and one older file",
            s.file.Path(), maxMiB);
    }
}

void RetireLineRecordings(const DriverContext& ctx) {
    RetireLineCapture(ctx);
    gSlots.Retire(ctx);
}

void StopLineTrace(const DriverContext& ctx) {
    StopLineCapture(ctx);
    gSlots.Stop(ctx);
}

void StopAllLineTraces() {
    StopAllLineCaptures();
    gSlots.StopAll();
}

bool LineTraced(const DriverContext& ctx) {
    return gSlots.Find(ctx) != nullptr;
}

void TraceSendBegins(const DriverContext& ctx) {
    CaptureSendBegins(ctx);
    if (Slot* s = gSlots.Find(ctx)) {
        WriteAttempt(*s);
    }
}

void TraceSent(const DriverContext& ctx, std::span<const uint8_t> frame, bool written) {
    CaptureSent(ctx, frame, written);
    Slot* s = gSlots.Find(ctx);
    if (s == nullptr) {
        return;
    }
    Attempt& a = s->attempt;
    a = Attempt{};
    a.pending = true;
    a.txLength = static_cast<uint32_t>(std::min(frame.size(), sizeof a.tx));
    std::memcpy(a.tx, frame.data(), a.txLength);
    a.written = written;
    a.sentUs = s->clock.NowUs();
    a.calcDelay = ctx.calcDelay;
    a.pracDelay = ctx.pracDelay;
}

void TraceReceiveBegins(const DriverContext& ctx) {
    if (Slot* s = gSlots.Find(ctx)) {
        s->attempt.receiving = true;
        s->attempt.listenUs = s->clock.NowUs();
    }
}

void TraceReceiveStep(const DriverContext& ctx, uint32_t total) {
    CaptureReceiveStep(ctx, total);
    Slot* s = gSlots.Find(ctx);
    if (s == nullptr) {
        return;
    }
    Attempt& a = s->attempt;
    const int64_t now = s->clock.NowUs();
    if (a.stepCount < kMaxSteps) {
        a.steps[a.stepCount++] = Step{now, total};
    } else {
        a.steps[kMaxSteps - 1] = Step{now, total};
    }
    a.rxLength = std::max(a.rxLength, std::min<uint32_t>(total, kRxBufSize));
}

void TraceReceiveEnds(const DriverContext& ctx, int result, TraceWhy why) {
    CaptureReceiveEnds(ctx);
    if (Slot* s = gSlots.Find(ctx)) {
        Attempt& a = s->attempt;
        a.rxResult = result;
        a.rxWhy = why;
        std::memcpy(a.rx, ctx.rxBuf, a.rxLength);
    }
}

void TraceLineErrors(const DriverContext& ctx, uint32_t framing, uint32_t parity,
                     uint32_t overrun) {
    CaptureLineErrors(ctx, framing, parity, overrun);
    if (Slot* s = gSlots.Find(ctx)) {
        uint32_t(&e)[3] = s->attempt.lineErrors;
        e[0] += framing;
        e[1] += parity;
        e[2] += overrun;
    }
}

void TraceLateLineErrors(const DriverContext& ctx, int32_t station, uint32_t framing,
                         uint32_t parity, uint32_t overrun) {
    CaptureLateLineErrors(ctx, station, framing, parity, overrun);
    if (Slot* s = gSlots.Find(ctx); s != nullptr && BeginOwnLine(*s)) {
        s->line.Printf("line errors on late bytes of station %d: %u framing, %u parity, %u overrun",
                       station, framing, parity, overrun);
        Emit(*s);
    }
}

void TracePortOpened(const DriverContext& ctx) {
    CapturePortOpened(ctx);
    if (Slot* s = gSlots.Find(ctx); s != nullptr && BeginOwnLine(*s)) {
        const std::string_view port = LinePortName(ctx);
        s->line.Printf("port %.*s opened, direction switched by the %s",
                       static_cast<int>(port.size()), port.data(),
                       LineDirectionText(LineDirectionOf(ctx)));
        Emit(*s);
    }
}

void TraceAttemptEnds(const DriverContext& ctx, TraceOutcome outcome, TraceWhy why) {
    if (Slot* s = gSlots.Find(ctx)) {
        Attempt& a = s->attempt;
        a.told = true;
        a.outcome = outcome;
        a.why = why;
    }
}

void TraceStationPutIntoError(const DriverContext& ctx, int32_t station) {
    if (Slot* s = gSlots.Find(ctx)) {
        s->attempt.intoError = station;
    }
}

void TraceCommandEnds(const DriverContext& ctx, bool flushNow) {
    CaptureCommandEnds(ctx, flushNow);
    gSlots.CommandEnds(ctx, flushNow);
}

} // namespace merix
