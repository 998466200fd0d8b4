// Function codes of the expanded Modbus RTU protocol that H51 controllers speak.
#pragma once

#include <cstdint>

namespace merix {

enum FunctionCode : uint8_t {
    kReadCoils = 0x01,
    kReadDiscreteInputs = 0x02,
    kReadHoldingRegisters = 0x03,
    kReadInputRegisters = 0x04,
    kWriteSingleCoil = 0x05,
    kWriteSingleRegister = 0x06,
    kEventInit = 0x41,   ///< event set-up: empties the buffer, answers the state bitmap
    kEventNext = 0x42,   ///< the next block of buffered events
    kEventRepeat = 0x43, ///< the last block again
    kTimeSync = 0x46,    ///< clock broadcast
};

/// Set in the function byte of a reply that refuses the request (an exception reply).
inline constexpr uint8_t kExceptionBit = 0x80;

/// The event functions' refusals: the set-up's (the event count does not match) and the
/// repeat's (no block to repeat).
inline constexpr uint8_t kInitRefused = kExceptionBit | kEventInit;
inline constexpr uint8_t kNextRefused = kExceptionBit | kEventNext;
inline constexpr uint8_t kRepeatRefused = kExceptionBit | kEventRepeat;

} // namespace merix
