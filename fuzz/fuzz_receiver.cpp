// Fuzz target: the reply receiver, fed by a scripted line.
//
// Input layout:
//   byte 0     flags: bit 0 the request is a register write, whatever byte 2 says (its reply
//              is the request again); bit 1 event read (fReadEvent)
//   byte 1     the gate's station
//   byte 2     the request's function code
//   byte 3     what the reply buffer holds before the reception (stale bytes), and the
//              least reply length the verdict asks for
//   bytes 4-6  lengths of the first three pieces of the line, each followed by a silence
//   the rest   the line: those pieces, then whatever remains, all arriving at once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "serial/crc16.h"
#include "serial/function_table.h"
#include "serial/protocol.h"
#include "serial/receiver.h"
#include "transactions/reply_confirmation.h"

namespace {

constexpr size_t kHeader = 7;
constexpr int kCutPieces = 3;
constexpr uint32_t kLongestReply = merix::kReplyOverhead + 255;

// Every byte of the context but the reply buffer, which is all that Receive may change.
bool SameOutsideRxBuf(const merix::DriverContext& a, const merix::DriverContext& b) {
    const auto* pa = reinterpret_cast<const uint8_t*>(&a);
    const auto* pb = reinterpret_cast<const uint8_t*>(&b);
    const size_t rx = offsetof(merix::DriverContext, rxBuf);
    const size_t after = rx + merix::kRxBufSize;
    return std::equal(pa, pa + rx, pb) &&
           std::equal(pa + after, pa + sizeof(merix::DriverContext), pb + after);
}

/// A whole frame: its length as the table of functions lays out the reply, its CRC as every
/// caller checks it, and the verdict on it.
void CheckWholeFrame(const merix::DriverContext& ctx, const merix::DriverContext& before,
                     uint32_t count, const uint8_t* data) {
    using namespace merix;
    const auto station = static_cast<int32_t>(data[1]);
    FUZZ_CHECK(count >= 2);
    FUZZ_CHECK(ctx.rxBuf[0] == data[1]);
    if ((ctx.rxBuf[1] & 0x80) == 0) {
        // A complete normal or echo reply: the count is the whole frame, CRC included.
        const std::size_t expected = ExpectedReplyLength(ctx.txBuf[1], std::span(ctx.rxBuf, 3))
                                         .value_or(kReplyOverhead + ctx.rxBuf[2]);
        FUZZ_CHECK(count == expected);
    }
    // What every caller does next.
    const bool crcOk = CrcMatches(ctx.rxBuf, static_cast<int>(count));
    const uint16_t crc = Crc16(ctx.rxBuf, static_cast<int>(count) - 2);
    const auto wire = static_cast<uint16_t>(ctx.rxBuf[count - 2] | ctx.rxBuf[count - 1] << 8);
    FUZZ_CHECK(crcOk == (crc == wire));
    // And then the verdict: nothing the line sends confirms a write but its echo.
    RetryState pass{.station = station};
    pass.replyLength = count;
    const ReplyVerdict verdict = ConfirmReply(ctx, pass, data[3]);
    FUZZ_CHECK(verdict <= ReplyVerdict::kCountShort);
    FUZZ_CHECK(SameOutsideRxBuf(before, ctx));
    const FunctionRow* row = FindFunction(ctx.txBuf[1]);
    if (verdict == ReplyVerdict::kConfirmed && row != nullptr && row->reply == ReplyLayout::kEcho) {
        FUZZ_CHECK(crcOk && count == kEchoReplyLength);
        FUZZ_CHECK(std::memcmp(ctx.rxBuf + 1, ctx.txBuf + 1, 5) == 0);
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
    ctx->hf = 100;
    ctx->fReadEvent = (data[0] >> 1) & 1;
    const auto station = static_cast<int32_t>(data[1]);
    ctx->txBuf[0] = data[1];
    ctx->txBuf[1] = (data[0] & 1) != 0 ? kWriteSingleRegister : data[2];
    std::memset(ctx->rxBuf, data[3], kRxBufSize);

    std::vector<fake::Piece> line;
    const uint8_t* next = data + kHeader;
    size_t left = size - kHeader;
    for (int i = 0; i < kCutPieces; ++i) {
        const size_t n = std::min<size_t>(data[4 + i], left);
        if (n != 0) {
            line.push_back(fake::Bytes({next, next + n}));
        }
        line.push_back(fake::Silence());
        next += n;
        left -= n;
    }
    if (left != 0) {
        line.push_back(fake::Bytes({next, next + left}));
    }
    fake::QueueReply(std::move(line));
    uint32_t written = 0;
    plat::WriteFile(ctx->hf, ctx->txBuf, 0, &written); // the reply follows a request

    const DriverContext before = *ctx;
    uint32_t count = 0xDEADBEEF;
    TraceWhy why = TraceWhy::kNone;
    const int result = Receive(station, *ctx, &count, &why);

    FUZZ_CHECK(result >= kRxFrame && result <= kRxWrong);
    FUZZ_CHECK(count <= kRxBufSize);
    FUZZ_CHECK(count <= kLongestReply);
    FUZZ_CHECK(SameOutsideRxBuf(before, *ctx));
    if (result == kRxFrame) {
        CheckWholeFrame(*ctx, before, count, data);
    }
    return 0;
}
