// The facts of the expanded Modbus RTU protocol that H51 controllers speak: the functions
// (their table), frame sizes and limits, and how multi-byte fields are read. Every layer and tool
// (the transactions, the gates, the trace, the simulator, the fuzzers) takes them from here: a
// second definition, even of the same value, is a future inconsistency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "serial/function_table.h"

namespace merix {

/// Modbus over serial line: an RTU frame is at most 256 bytes.
inline constexpr std::size_t kMaxRtuFrame = 256;
/// The station that every controller hears and none answers: the time synchronisation.
inline constexpr uint8_t kBroadcastStation = 0;
/// A reply's bytes around its data: station, function, byte count, and the CRC.
inline constexpr uint32_t kReplyOverhead = 5;
/// An exception reply: station, function with the exception bit, the code, and the CRC.
inline constexpr std::size_t kExceptionReplyLength = 5;
/// A single write's reply, the request again: station, function, address, value, CRC.
inline constexpr std::size_t kEchoReplyLength = 8;

/// An event record in a block: number (low byte first), value, time of day.
inline constexpr uint32_t kEventRecordSize = 8;
/// The highest event number a controller keeps (2048 events, 0 to 2047).
inline constexpr uint16_t kMaxEventNumber = 2047;

/// A 16-bit field, high byte first, at `at` of `bytes`; the caller has checked that both bytes
/// are there.
constexpr uint16_t Word(std::span<const uint8_t> bytes, std::size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

/// The number of the event record at `at` of `bytes`: the one field sent low byte first.
constexpr uint16_t EventNumber(std::span<const uint8_t> bytes, std::size_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

/// The data bytes of a reply of `replyLength` bytes whose byte count says `byteCount`: no more
/// than the count, and no more than arrived.
constexpr uint32_t ReplyDataLength(uint8_t byteCount, uint32_t replyLength) {
    const uint32_t arrived = replyLength >= kReplyOverhead ? replyLength - kReplyOverhead : 0;
    return byteCount < arrived ? byteCount : arrived;
}

} // namespace merix
