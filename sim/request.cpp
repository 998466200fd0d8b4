#include "sim/request.h"

#include "serial/crc16.h"

namespace h51sim {

ParseResult ParseRequest(std::span<const uint8_t> frame) {
    ParseResult result;
    if (frame.size() < 4) {
        result.error = RequestError::TooShort;
        return result;
    }
    if (frame.size() > kMaxRtuFrame) {
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

} // namespace h51sim
