// Fuzz target: gate address parsing through both parse commands, and the special names.
//
// Input layout:
//   byte 0     gate type: 0, 1 or 6 by the value modulo 4; at 3 modulo 4, the byte itself as a
//              signed number
//   bytes 1-2  block length, little-endian, signed
//   byte 3     flags: bit 0 the host passes no text at all
//   the rest   the address text, any bytes, any length (a zero inside ends it early)
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "gates/address_parser.h"

namespace {

constexpr size_t kHeader = 4;
constexpr int32_t kUntouched = -7; // a field value no parse ever stores
constexpr int32_t kTypes[] = {0, 1, 6};

/// The text in a heap buffer of exactly its length and the terminating zero, so that ASan
/// catches any read beyond the end; a fresh copy for every call, as calls may upper-case it.
std::vector<char> TextCopy(const uint8_t* text, size_t size) {
    std::vector<char> copy(text, text + size);
    copy.push_back('\0');
    copy.shrink_to_fit();
    return copy;
}

merix::GateParseRecord FreshRecord(char* text, int32_t gateType, int32_t blockLength) {
    merix::GateParseRecord rec{};
    rec.addressString = text;
    rec.gateType = gateType;
    rec.blockLength = blockLength;
    rec.station = kUntouched;
    rec.function = kUntouched;
    rec.address = kUntouched;
    rec.bitNumber = kUntouched;
    rec.valueWidth = kUntouched;
    return rec;
}

/// What an accepted gate must look like, whichever form it has.
void CheckAccepted(const merix::GateParseRecord& rec) {
    using namespace merix;
    switch (rec.function) {
    case kUntouched: // a special name: only station and address are set
        FUZZ_CHECK(rec.address >= 0xFFFC && rec.address <= 0xFFFE);
        break;
    case kInternalFunction:
        FUZZ_CHECK(rec.station == kInternalStation && rec.bitNumber == -1);
        break;
    case kEventFunction:
        FUZZ_CHECK(rec.station >= 1 && rec.station <= kMaxEventStation);
        FUZZ_CHECK(rec.address >= 0 && rec.address <= 2047);
        FUZZ_CHECK(rec.valueWidth == 1);
        break;
    default:
        FUZZ_CHECK(rec.function >= 1 && rec.function <= 4);
        FUZZ_CHECK(rec.station >= 1 && rec.station <= 99);
        FUZZ_CHECK(rec.address >= 0 && rec.address <= 99999);
        FUZZ_CHECK(rec.bitNumber >= -1 && rec.bitNumber <= 9);
        FUZZ_CHECK(rec.valueWidth == 1 || rec.valueWidth == 16);
        break;
    }
}

uint64_t EventGatesCounted(const merix::DriverContext& ctx) {
    uint64_t sum = 0;
    for (const uint32_t n : ctx.eventCount) {
        sum += n;
    }
    return sum;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace merix;
    if (size < kHeader) {
        return 0;
    }
    fuzz::ResetWorld();
    auto ctx = fuzz::NewContext();
    std::memset(ctx->eventCount, 0, sizeof ctx->eventCount);
    const int32_t gateType = data[0] % 4 == 3 ? static_cast<int8_t>(data[0]) : kTypes[data[0] % 4];
    const auto blockLength = static_cast<int16_t>(data[1] | data[2] << 8);
    const bool noText = (data[3] & 1) != 0;
    const uint8_t* text = data + kHeader;
    const size_t length = size - kHeader;

    for (const uint32_t command : {kSingleAddressParser, kBlockAddressParser}) {
        std::vector<char> copy = TextCopy(text, length);
        GateParseRecord rec = FreshRecord(noText ? nullptr : copy.data(), gateType, blockLength);
        CallBlock cb{ctx.get(), command, 1, 0, &rec};
        const uint64_t eventsBefore = EventGatesCounted(*ctx);
        const int32_t result = VpiMain(&cb);
        const uint64_t eventsCounted = EventGatesCounted(*ctx) - eventsBefore;
        FUZZ_CHECK(result >= 0 && result <= (command == kBlockAddressParser ? 2 : 1));
        if (result == 0) {
            CheckAccepted(rec);
        }
        // Parse counts an event gate once it has accepted it, even as a block of 2000.
        FUZZ_CHECK(eventsCounted == (rec.function == kEventFunction ? 1u : 0u));
    }

    std::vector<char> copy = TextCopy(text, length);
    int32_t station = kUntouched;
    int32_t address = kUntouched;
    const int index = MatchSpecialName(copy.data(), &station, &address);
    FUZZ_CHECK(index >= kNoSpecialName && index <= kSpecialTime);
    if (index != kNoSpecialName) {
        FUZZ_CHECK(address == 0xFFFF - index);
        FUZZ_CHECK(station == kUntouched || (station >= 0 && station <= 99));
    }
    return 0;
}
