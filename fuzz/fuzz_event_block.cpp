// Fuzz target: the event block and state bitmap decoders, with event gates defined in the
// stand-in host.
//
// Input layout:
//   byte 0     station (0..31, as the event read admits it)
//   byte 1     flags: bit 0 debug log, bit 1 a conflict alert is open, bit 2 the host refuses
//              values, bit 3 the gates belong to another driver instance; bits 4-7: every
//              how many event numbers below 64 an event gate exists (0: none)
//   bytes 2-5  eventCount of the station, little-endian (its low 16 bits are the count)
//   bytes 6-7  the PC's time of day: hour, minute
//   byte 8     n, the length of the event block
//   then       the block (n bytes, fewer if the input ends), then the reply to the set-up
//              request as it lies in the reply buffer (up to its 300 bytes)
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "transactions/event_delivery.h"

namespace {

constexpr size_t kHeader = 9;
constexpr uint32_t kDriver = 1;
constexpr int kGatedRange = 64;
constexpr uint32_t kMinReply = 3; // a frame that passed the CRC check: station, function, more

void DefineEventGate(int32_t station, unsigned event, uint32_t driver) {
    char text[16];
    std::snprintf(text, sizeof text, "E%02d%04u", station, event);
    qorlib::DefineGate(text, driver);
}

/// The context as the header sets it: station `st` polled for events, the flags' log and
/// alert, the station's event count and the PC's time of day.
void SetUpContext(merix::DriverContext& ctx, int32_t st, const uint8_t* data) {
    using namespace merix;
    const uint8_t flags = data[1];
    ctx.vpiNumber = kDriver;
    ctx.debugFlag = flags & 1;
    ctx.evtConflictAlert[st] = (flags & 2) != 0 ? 7 : 0xFFFF;
    ctx.fEF[st] = 1;
    ctx.fReadEvent = 1;
    std::memcpy(&ctx.eventCount[st], data + 2, sizeof ctx.eventCount[st]);
    if ((flags & 4) != 0) {
        qorlib::SetPutGateValResult(3);
    }
    plat::LocalTime now{2026, 3, 29, data[6] % 24, data[7] % 60, 30, 0, -1};
    fake::SetNow(now);
}

/// The event gates the flags ask for, and those of the block's records.
void DefineEventGates(int32_t st, uint8_t flags, const std::vector<uint8_t>& block) {
    const uint32_t gateDriver = (flags & 8) != 0 ? kDriver + 1 : kDriver;
    if (const unsigned stride = flags >> 4; stride != 0) {
        for (unsigned e = 0; e < kGatedRange; e += stride) {
            DefineEventGate(st, e, gateDriver);
        }
        // Also the gates of the records, so that high event numbers reach the host too.
        for (size_t at = 0; at + 1 < block.size(); at += merix::kEventRecordSize) {
            DefineEventGate(st, static_cast<unsigned>(block[at] | block[at + 1] << 8) & 0xFFF,
                            gateDriver);
        }
    }
}

/// Decodes `reply` (`left` bytes) as the reply to the set-up request lying in the reply buffer:
/// a refused set-up keeps the station's set-up pending and its alert open, any other ends both.
void CheckSetUpReply(merix::CallBlock& cb, merix::DriverContext& ctx, int32_t st,
                     const uint8_t* reply, size_t left) {
    using namespace merix;
    const auto replyLength = static_cast<uint32_t>(std::min<size_t>(left, kRxBufSize));
    std::memcpy(ctx.rxBuf, reply, replyLength);
    // Bytes that did not arrive may hold anything: the decoder must not look at them.
    ASAN_POISON_MEMORY_REGION(ctx.rxBuf + replyLength, kRxBufSize - replyLength);
    const int updated = Update_Events(&cb, replyLength);
    ASAN_UNPOISON_MEMORY_REGION(ctx.rxBuf, kRxBufSize);
    FUZZ_CHECK(updated == 0);
    if (ctx.rxBuf[1] == kInitRefused) {
        FUZZ_CHECK(ctx.fEF[st] == 1);
        FUZZ_CHECK(ctx.evtConflictAlert[st] != 0xFFFF);
    } else {
        FUZZ_CHECK(ctx.fEF[st] == 0);
        FUZZ_CHECK(ctx.evtConflictAlert[st] == 0xFFFF);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace merix;
    if (size < kHeader) {
        return 0;
    }
    fuzz::ResetWorld();
    auto ctx = fuzz::NewContext();
    const int32_t st = data[0] % kStationCount;
    SetUpContext(*ctx, st, data);

    const uint8_t* next = data + kHeader;
    size_t left = size - kHeader;
    const size_t n = std::min<size_t>(data[8], left);
    // The block in a buffer of exactly its length, so that reading past it is caught.
    std::vector<uint8_t> block(next, next + n);
    next += n;
    left -= n;
    DefineEventGates(st, data[1], block);

    GateAccessRecord gate{};
    char address[] = "$EVENT";
    gate.addressString = address;
    gate.station = st;
    gate.function = 3;
    gate.address = 0xFFFD;
    CallBlock cb{ctx.get(), kSingleRead, kDriver, 0, &gate};

    const int delivered = DeliverEventBlock(&cb, block.data(), static_cast<uint32_t>(n));
    FUZZ_CHECK(delivered == 0 || delivered == 1);
    if (delivered == 0) {
        FUZZ_CHECK(ctx->fReadEvent == 0);
    }

    if (left >= kMinReply) {
        CheckSetUpReply(cb, *ctx, st, next, left);
    }
    return 0;
}
