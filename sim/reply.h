// Reply frames as the controllers put them on the line.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/station.h"

namespace h51sim {

/// Appends the CRC-16, low byte first.
void AppendCrc(std::vector<uint8_t>& frame);

/// The complete frame (CRC included) for a response of `station`; empty for Kind::None.
/// Data longer than a byte count can describe is cut to 255 bytes.
std::vector<uint8_t> BuildReply(uint8_t station, const Response& response);

/// The exception frame `station`, function | 0x80, `code`, CRC.
std::vector<uint8_t> BuildException(uint8_t station, uint8_t function, uint8_t code);

} // namespace h51sim
