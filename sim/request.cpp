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
    if (const merix::FunctionRow* row = merix::FindFunction(r.function)) {
        const merix::RequestFields f = merix::DecodeRequestFields(*row, data);
        r.address = f.address;
        r.count = f.count;
        r.value = f.value;
        r.byteCount = f.byteCount;
        r.eventCount = f.eventCount;
        r.time = f.time;
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
