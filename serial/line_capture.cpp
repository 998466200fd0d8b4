#include "serial/line_capture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "serial/capped_file.h"
#include "serial/frame_text.h"
#include "serial/line_clock.h"
#include "serial/line_direction.h"
#include "serial/line_recorder_slots.h"
#include "serial/line_settings_text.h"
#include "serial/pcapng_blocks.h"
#include "services/host_log.h"
#include "services/instance_room.h"

namespace merix {

namespace {

// The largest packet block: headers, the longest reply, a comment and the flags.
constexpr std::size_t kBlockSize = 128 + kRxBufSize + 128;

constexpr const char* kErrorNames[3] = {"framing", "parity", "overrun"};
constexpr LineEvent kErrorEvents[3] = {LineEvent::kFraming, LineEvent::kParity,
                                       LineEvent::kOverrun};

// One attempt: a request and what came back, kept until it is written.
struct Attempt {
    bool pending = false;
    uint8_t tx[kTxBufSize] = {};
    uint32_t txLength = 0;
    bool written = false;
    int64_t txUs = 0;      // the request's first byte went out
    int64_t rxUs = -1;     // the first read that brought bytes of the reply returned
    uint32_t rxLength = 0; // bytes of the reply read
    bool rxEnded = false;  // and copied
    uint8_t rx[kRxBufSize] = {};
    int64_t errorsUs = -1;
    uint32_t errors[3] = {}; // framing, parity, overrun
};

struct Slot {
    const DriverContext* ctx = nullptr; // set while the capture is open
    CappedFile file;
    LineClock clock;
    uint64_t flushedMs = 0;
    int64_t originEpochUs = 0; // the wall clock when the capture started
    uint32_t interface = 0;    // the port's latest description in this file
    FixedText<96> portName;
    FixedText<192> portText;
    Attempt attempt;
    uint8_t block[kBlockSize] = {};
    // A room given to another instance, or freed, closes its file with it (CappedFile).
};

void WriteAttempt(Slot& s);
LineRecorderSlots<Slot, WriteAttempt> gSlots("capture");

uint64_t EpochUs(const Slot& s, int64_t us) {
    return static_cast<uint64_t>(std::max<int64_t>(s.originEpochUs + us, 0));
}

bool Put(Slot& s, std::size_t size) {
    return size > 0 && s.file.Write(s.block, size);
}

// A new file: the section and the port as it is now, so that the file opens on its own.
bool Begin(Slot& s) {
    if (!s.file.Open()) {
        return false;
    }
    s.interface = 0;
    return Put(s, pcapng::SectionHeader(s.block, "merix line capture")) &&
           Put(s, pcapng::Interface(s.block, s.portName.View(), s.portText.View()));
}

// The file is full: it becomes the one older file kept, and a new one begins. Should the
// rename fail, the full file stays as it is: the capture ends rather than write over it.
bool Rotate(Slot& s) {
    return s.file.Close() && s.file.MoveToOlder() && Begin(s);
}

// Writes the block of `size` bytes in s.block, in a new file when this one is full; the
// block is made afresh there, since its interface number was this file's. False when the
// capture ended.
template <typename Make> bool Emit(Slot& s, Make make) {
    std::size_t size = make();
    bool ok = size > 0;
    if (ok && s.file.Full(size)) {
        ok = Rotate(s);
        size = make();
    }
    ok = ok && Put(s, size);
    if (!ok) {
        gSlots.Fail(s);
    }
    return ok;
}

bool EmitPacket(Slot& s, int64_t us, LineEvent event, std::span<const uint8_t> data,
                std::string_view comment) {
    return Emit(s, [&] {
        return pcapng::Packet(s.block, s.interface, EpochUs(s, us), event, data, comment);
    });
}

// One packet for each kind of error seen, its count in the comment.
bool EmitErrors(Slot& s, int64_t us, const uint32_t (&errors)[3], int32_t lateStation) {
    for (int i = 0; i < 3; ++i) {
        if (errors[i] == 0) {
            continue;
        }
        FixedText<96> comment;
        comment.Printf("%u %s error%s", errors[i], kErrorNames[i], errors[i] == 1 ? "" : "s");
        if (lateStation >= 0) {
            comment.Printf(" on late bytes of station %d", lateStation);
        }
        if (!EmitPacket(s, us, kErrorEvents[i], {}, comment.View())) {
            return false;
        }
    }
    return true;
}

void WriteAttempt(Slot& s) {
    Attempt& a = s.attempt;
    if (!a.pending) {
        return;
    }
    a.pending = false;
    // A request that did not reach the port is no query on the line: Wireshark would list
    // one that never was. The trace keeps its line.
    if (a.written && !EmitPacket(s, a.txUs, LineEvent::kRequest, std::span(a.tx, a.txLength), "")) {
        return;
    }
    if (a.rxEnded && a.rxLength > 0 &&
        !EmitPacket(s, a.rxUs, LineEvent::kReply, std::span(a.rx, a.rxLength), "")) {
        return;
    }
    if (a.errorsUs >= 0) {
        EmitErrors(s, a.errorsUs, a.errors, -1);
    }
}

// The port as the interface describes it: name, settings, and how its direction is switched.
void DescribePort(Slot& s, const DriverContext& ctx) {
    s.portName.Clear();
    s.portName.Append(LinePortName(ctx));
    s.portText.Clear();
    s.portText.Printf("merix instance %u: ", ctx.vpiNumber);
    AppendLineSettings(s.portText, ctx);
}

// Names the file and begins it. A file from before is kept as the older file: appending to it
// would put this capture behind whatever its end holds, a block cut short included.
bool OpenFirstFile(Slot& s, const char* path, int maxMiB) {
    if (!s.file.Name(path, maxMiB) || !s.file.Open()) {
        return false;
    }
    const bool empty = s.file.Size() == 0;
    if (!s.file.Close() || (!empty && !s.file.MoveToOlder()) || !Begin(s)) {
        (void)s.file.Close();
        return false;
    }
    return true;
}

} // namespace

void StartLineCapture(DriverContext& ctx, const char* path, int maxMiB) {
    gSlots.Retire(ctx);
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    Slot* slot = gSlots.Claim(ctx);
    if (slot == nullptr) {
        Log(kLogError, "MERIX> Line capture '%s' not started: no memory for instance %u", path,
            ctx.vpiNumber);
        return;
    }
    Slot& s = *slot;
    DescribePort(s, ctx);
    if (!OpenFirstFile(s, path, maxMiB)) {
        Log(kLogError, "MERIX> Line capture file '%s' cannot be opened: no capture", path);
        return;
    }
    gSlots.Opened(s, ctx);
    if (!s.file.Flush()) {
        gSlots.Fail(s);
        return;
    }
    s.clock.Start(ctx.perfFrequency);
    s.originEpochUs = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    s.attempt.pending = false;
    Log(kLogError, "MERIX> Line capture to '%s', at most %d MiB and one older file", s.file.Path(),
        maxMiB);
}

void RetireLineCapture(const DriverContext& ctx) {
    gSlots.Retire(ctx);
}

void StopLineCapture(const DriverContext& ctx) {
    gSlots.Stop(ctx);
}

void StopAllLineCaptures() {
    gSlots.StopAll();
}

bool LineCaptured(const DriverContext& ctx) {
    return gSlots.Find(ctx) != nullptr;
}

void CaptureSendBegins(const DriverContext& ctx) {
    if (Slot* s = gSlots.Find(ctx)) {
        WriteAttempt(*s);
    }
}

void CaptureSent(const DriverContext& ctx, std::span<const uint8_t> frame, bool written) {
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
    // Back in receive state now: the first byte went out a hold's time ago.
    const double holdUs = static_cast<double>(ctx.pracDelay) * 1000.0;
    a.txUs = s->clock.NowUs() - static_cast<int64_t>(holdUs > 0 ? holdUs + 0.5 : 0);
}

void CaptureReceiveStep(const DriverContext& ctx, uint32_t total) {
    Slot* s = gSlots.Find(ctx);
    if (s == nullptr || !s->attempt.pending) {
        return;
    }
    Attempt& a = s->attempt;
    if (total > 0 && a.rxUs < 0) {
        a.rxUs = s->clock.NowUs();
    }
    a.rxLength = std::max(a.rxLength, std::min<uint32_t>(total, kRxBufSize));
}

void CaptureReceiveEnds(const DriverContext& ctx) {
    Slot* s = gSlots.Find(ctx);
    if (s == nullptr || !s->attempt.pending) {
        return;
    }
    Attempt& a = s->attempt;
    std::memcpy(a.rx, ctx.rxBuf, a.rxLength);
    a.rxEnded = true;
}

void CaptureLineErrors(const DriverContext& ctx, uint32_t framing, uint32_t parity,
                       uint32_t overrun) {
    Slot* s = gSlots.Find(ctx);
    if (s == nullptr) {
        return;
    }
    Attempt& a = s->attempt;
    if (!a.pending) {
        // Not after a request of this capture: an event of its own, now.
        const uint32_t errors[3] = {framing, parity, overrun};
        EmitErrors(*s, s->clock.NowUs(), errors, -1);
        return;
    }
    if (a.errorsUs < 0) {
        a.errorsUs = s->clock.NowUs();
    }
    a.errors[0] += framing;
    a.errors[1] += parity;
    a.errors[2] += overrun;
}

void CaptureLateLineErrors(const DriverContext& ctx, int32_t station, uint32_t framing,
                           uint32_t parity, uint32_t overrun) {
    Slot* s = gSlots.Find(ctx);
    if (s == nullptr) {
        return;
    }
    WriteAttempt(*s);
    if (s->ctx != nullptr) {
        const uint32_t errors[3] = {framing, parity, overrun};
        EmitErrors(*s, s->clock.NowUs(), errors, station);
    }
}

void CapturePortOpened(const DriverContext& ctx) {
    Slot* s = gSlots.Find(ctx);
    if (s == nullptr) {
        return;
    }
    WriteAttempt(*s);
    if (s->ctx == nullptr) {
        return;
    }
    DescribePort(*s, ctx);
    const std::size_t size = pcapng::Interface(s->block, s->portName.View(), s->portText.View());
    // A full file rotates, and the new one begins with this description as its first.
    bool ok = false;
    if (s->file.Full(size)) {
        ok = Rotate(*s);
    } else if (Put(*s, size)) {
        ok = true;
        ++s->interface;
    }
    if (!ok) {
        gSlots.Fail(*s);
    }
}

void CaptureCommandEnds(const DriverContext& ctx, bool flushNow) {
    gSlots.CommandEnds(ctx, flushNow);
}

} // namespace merix
