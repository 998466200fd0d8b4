#include "sim/request.h"

#include "serial/crc16.h"

namespace h51sim {

namespace {

uint16_t Word(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

// Data bytes (between function and CRC) that a function with a fixed layout carries;
// -1 when the layout has its own byte count or is unknown.
int FixedDataLength(uint8_t function) {
    switch (function) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kReadHoldingRegisters:
    case kReadInputRegisters:
    case kWriteSingleCoil:
    case kWriteSingleRegister:
    case 0x08: // diagnostics: sub-function and data
        return 4;
    case kEventNext:
    case kEventRepeat:
    case 0x07: // read exception status
    case 0x0B: // comm event counter
    case 0x0C: // comm event log
    case 0x11: // report server id
        return 0;
    case 0x16: // mask write register
        return 6;
    default:
        return -1;
    }
}

} // namespace

std::optional<size_t> ExpectedRequestLength(std::span<const uint8_t> head) {
    if (head.size() < 2) {
        return std::nullopt;
    }
    const uint8_t function = head[1];
    const int fixed = FixedDataLength(function);
    if (fixed >= 0) {
        return 4 + static_cast<size_t>(fixed);
    }
    // Layouts that carry their own byte count: where it sits, and what precedes it.
    size_t countAt = 0;
    switch (function) {
    case kEventInit:
    case kTimeSync:
        countAt = 2;
        break;
    case 0x0F: // write multiple coils
    case 0x10: // write multiple registers
        countAt = 6;
        break;
    case 0x17: // read/write multiple registers
        countAt = 10;
        break;
    default:
        return std::nullopt;
    }
    if (head.size() <= countAt) {
        return std::nullopt;
    }
    return countAt + 1 + head[countAt] + 2;
}

ParseResult ParseRequest(std::span<const uint8_t> frame) {
    ParseResult result;
    if (frame.size() < 4) {
        result.error = RequestError::TooShort;
        return result;
    }
    if (frame.size() > kMaxFrame) {
        result.error = RequestError::TooLong;
        return result;
    }
    if (!merix::CrcMatches(frame.data(), static_cast<int>(frame.size()))) {
        result.error = RequestError::BadCrc;
        return result;
    }
    Request& r = result.request;
    r.station = frame[0];
    r.function = frame[1];
    const std::span<const uint8_t> data = frame.subspan(2, frame.size() - 4);
    r.data.assign(data.begin(), data.end());

    const std::optional<size_t> expected = ExpectedRequestLength(frame);
    if (expected && *expected != frame.size()) {
        result.error = RequestError::LengthMismatch;
        return result;
    }
    switch (r.function) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kReadHoldingRegisters:
    case kReadInputRegisters:
        r.address = Word(data, 0);
        r.count = Word(data, 2);
        break;
    case kWriteSingleCoil:
    case kWriteSingleRegister:
        r.address = Word(data, 0);
        r.value = Word(data, 2);
        break;
    case kEventInit:
        r.byteCount = data[0];
        // The count is the last word of the field, whatever the field's length.
        if (data.size() >= 3) {
            r.eventCount = Word(data, data.size() - 2);
        }
        break;
    case kTimeSync:
        r.byteCount = data[0];
        for (size_t i = 0; i < r.time.size() && i + 1 < data.size(); ++i) {
            r.time[i] = data[i + 1];
        }
        break;
    default:
        break;
    }
    return result;
}

std::string_view RequestErrorName(RequestError error) {
    switch (error) {
    case RequestError::None:
        return "ok";
    case RequestError::TooShort:
        return "too short";
    case RequestError::TooLong:
        return "too long";
    case RequestError::BadCrc:
        return "bad CRC";
    case RequestError::LengthMismatch:
        return "length does not fit the function";
    }
    return "?";
}

std::string_view FunctionName(uint8_t function) {
    switch (function & 0x7F) {
    case kReadCoils:
        return "read coils";
    case kReadDiscreteInputs:
        return "read inputs";
    case kReadHoldingRegisters:
        return "read registers";
    case kReadInputRegisters:
        return "read input registers";
    case kWriteSingleCoil:
        return "write coil";
    case kWriteSingleRegister:
        return "write register";
    case kEventInit:
        return "event init";
    case kEventNext:
        return "event next block";
    case kEventRepeat:
        return "event repeat block";
    case kTimeSync:
        return "time sync";
    default:
        return "unknown function";
    }
}

} // namespace h51sim
