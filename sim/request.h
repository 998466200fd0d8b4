// Decoding of request frames as a controller on the line sees them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "serial/frame_text.h"
#include "serial/protocol.h"

namespace h51sim {

// The function codes, and the frame lengths, layouts and names the trace shares with the driver.
using merix::FunctionCode;
using enum merix::FunctionCode;
using merix::ExpectedRequestLength;
using merix::FunctionName;
using merix::kBroadcastStation;
using merix::kMaxRtuFrame;
using merix::Word;

enum class RequestError {
    None,
    TooShort,       ///< fewer than 4 bytes: no room for station, function and CRC
    TooLong,        ///< more than an RTU frame may hold
    BadCrc,         ///< the last two bytes are not the CRC of the others
    LengthMismatch, ///< the CRC is right but the length does not fit the function
};

/// A request whose frame was well formed. Fields not used by the function stay 0.
struct Request {
    uint8_t station = 0;
    uint8_t function = 0;
    uint16_t address = 0;          ///< functions 1 to 6
    uint16_t count = 0;            ///< functions 1 to 4: number of bits or registers
    uint16_t value = 0;            ///< functions 5 and 6
    uint8_t byteCount = 0;         ///< 0x41 and 0x46: the byte count field
    uint16_t eventCount = 0;       ///< 0x41: the number of event gates the master expects
    std::array<uint8_t, 8> time{}; ///< 0x46: ms%100, ms/100, s, min, h, day, month, year%100
    std::vector<uint8_t> data;     ///< every byte between function and CRC
};

struct ParseResult {
    RequestError error = RequestError::None;
    Request request;
    bool ok() const { return error == RequestError::None; }
};

/// Decodes one complete frame (CRC included). Never reads outside `frame`.
ParseResult ParseRequest(std::span<const uint8_t> frame);

std::string_view RequestErrorName(RequestError error);

} // namespace h51sim
