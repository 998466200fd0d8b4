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
/// A request carries its first address in 16 bits; a gate's five digits reach 99999.
inline constexpr int64_t kMaxModbusAddress = 0xFFFF;

/// Whether `count` items from `first` on can be asked for: the request has no room for any
/// address beyond 16 bits, whose low half would name another coil or register.
constexpr bool FitsModbusAddresses(int64_t first, int64_t count) {
    const int64_t last = first + (count > 1 ? count - 1 : 0);
    return first >= 0 && last <= kMaxModbusAddress;
}

/// Modbus exception codes, as a station that refuses a request answers them.
enum ExceptionCode : uint8_t {
    kIllegalFunction = 1,
    kIllegalDataAddress = 2,
    kIllegalDataValue = 3,
    kDeviceFailure = 4,
    kAcknowledge = 5, ///< taken, still being processed
    kBusy = 6,        ///< busy: the master asks again later
    kNegativeAcknowledge = 7,
    kMemoryParityError = 8,
};

/// An event record in a block: number (low byte first), value, time of day.
inline constexpr uint32_t kEventRecordSize = 8;
/// The most records one event block carries.
inline constexpr std::size_t kMaxRecordsPerBlock = 31;
/// A block whose last two bytes are these says that the controller lost events.
inline constexpr uint8_t kOverflowMarkerByte = 0xFF;
inline constexpr std::size_t kOverflowMarkerSize = 2;
/// The event set-up's field, behind its byte count: two bytes 0, then the event count.
inline constexpr uint8_t kEventSetUpFieldSize = 4;
/// The clock's field, behind its byte count: ms % 100, ms / 100, s, min, h, day, month, year.
inline constexpr uint8_t kClockFieldSize = 8;

/// True when the block's data ends in the overflow marker.
constexpr bool EndsInOverflowMarker(std::span<const uint8_t> block) {
    const std::size_t n = block.size();
    return n >= kOverflowMarkerSize && block[n - 2] == kOverflowMarkerByte &&
           block[n - 1] == kOverflowMarkerByte;
}

/// The bytes of a block that hold records: a trailing overflow marker is no partial record,
/// where whole records come before it.
constexpr std::size_t EventRecordBytes(std::span<const uint8_t> block) {
    const std::size_t n = block.size();
    return EndsInOverflowMarker(block) && (n - kOverflowMarkerSize) % kEventRecordSize == 0
               ? n - kOverflowMarkerSize
               : n;
}
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
