// CRC-16/MODBUS: initial 0xFFFF, reflected polynomial 0xA001, no final xor.
#pragma once

#include <cstdint>

namespace merix {

/// The CRC over `length` bytes; 0xFFFF for a length of 0 or less. Goes on the wire low
/// byte first.
uint16_t Crc16(const uint8_t* bytes, int length);

/// True when the last two of `length` bytes are the CRC of the bytes before them.
bool CrcMatches(const uint8_t* frame, int length);

} // namespace merix
