// The functions H51 controllers speak, one row each: its code and name, how its request and
// its reply are laid out, and the words a line trace gives its fields. The trace decoder, the
// receiver, the gates, the simulator, the fuzzers and the benchmark take these facts from
// here. What really differs in behaviour (how a station answers, how a transaction handles its
// reply) stays with the code that does it. A code in no row is an unknown function everywhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

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

/// The data bytes of a request, between its function and its CRC.
enum class RequestLayout : uint8_t {
    kAddressCount, ///< first address and quantity, a word each
    kAddressValue, ///< address and value, a word each
    kEmpty,        ///< nothing
    kEventSetUp,   ///< a byte count, then a field whose last word is the event count
    kClock,        ///< a byte count, then ms % 100, ms / 100, s, min, h, day, month, year % 100
};

/// What a reply that does not refuse carries behind station and function.
enum class ReplyLayout : uint8_t {
    kBits,       ///< a byte count, then bits packed eight to a byte
    kRegisters,  ///< a byte count, then words
    kEcho,       ///< the request's address and value again
    kBitmap,     ///< a byte count, then the event states, a bit each
    kEventBlock, ///< a byte count, then event records, the last block ending in a marker
    kNone,       ///< none: the function is a broadcast that nobody answers
};

/// What a function is for: the transactions and the stations treat each group alike.
enum class FunctionGroup : uint8_t { kGates, kEvents, kClock };

/// A word field of a request, as a trace shows it: " addr 100", " value 0x00FF".
struct WordField {
    std::string_view label;
    bool hex;
};

struct FunctionRow {
    FunctionCode code;
    std::string_view name; ///< as a line trace names it
    FunctionGroup group;
    RequestLayout request;
    ReplyLayout reply;
    /// The word fields of a request laid out kAddressCount or kAddressValue, in order.
    std::array<WordField, 2> words;
    /// For a read of gates, the function that writes them (0: they cannot be written).
    uint8_t writtenWith;
};

inline constexpr WordField kAddressField{"addr", false};

inline constexpr std::array<FunctionRow, 10> kFunctions{{
    {kReadCoils,
     "read coils",
     FunctionGroup::kGates,
     RequestLayout::kAddressCount,
     ReplyLayout::kBits,
     {kAddressField, {"count", false}},
     kWriteSingleCoil},
    {kReadDiscreteInputs,
     "read inputs",
     FunctionGroup::kGates,
     RequestLayout::kAddressCount,
     ReplyLayout::kBits,
     {kAddressField, {"count", false}},
     0},
    {kReadHoldingRegisters,
     "read registers",
     FunctionGroup::kGates,
     RequestLayout::kAddressCount,
     ReplyLayout::kRegisters,
     {kAddressField, {"count", false}},
     kWriteSingleRegister},
    {kReadInputRegisters,
     "read input registers",
     FunctionGroup::kGates,
     RequestLayout::kAddressCount,
     ReplyLayout::kRegisters,
     {kAddressField, {"count", false}},
     0},
    {kWriteSingleCoil,
     "write coil",
     FunctionGroup::kGates,
     RequestLayout::kAddressValue,
     ReplyLayout::kEcho,
     {kAddressField, {"value", true}},
     0},
    {kWriteSingleRegister,
     "write register",
     FunctionGroup::kGates,
     RequestLayout::kAddressValue,
     ReplyLayout::kEcho,
     {kAddressField, {"value", true}},
     0},
    {kEventInit,
     "event init",
     FunctionGroup::kEvents,
     RequestLayout::kEventSetUp,
     ReplyLayout::kBitmap,
     {WordField{"events", false}, WordField{}},
     0},
    {kEventNext,
     "event next block",
     FunctionGroup::kEvents,
     RequestLayout::kEmpty,
     ReplyLayout::kEventBlock,
     {},
     0},
    {kEventRepeat,
     "event repeat block",
     FunctionGroup::kEvents,
     RequestLayout::kEmpty,
     ReplyLayout::kEventBlock,
     {},
     0},
    {kTimeSync,
     "time sync",
     FunctionGroup::kClock,
     RequestLayout::kClock,
     ReplyLayout::kNone,
     {},
     0},
}};

/// Where a request's length comes from: a fixed number of data bytes, or a byte count at
/// `countAt` of the frame that tells how many follow it.
struct RequestLength {
    int fixedData; ///< -1: counted
    std::size_t countAt;
};

/// Modbus functions that H51 controllers do not speak. Only the length of their requests is
/// known, so that a listener finds where such a frame ends; otherwise they are unknown.
struct ForeignFunction {
    uint8_t code;
    RequestLength length;
};

inline constexpr ForeignFunction kForeignFunctions[] = {
    {0x07, {0, 0}},   // read exception status
    {0x08, {4, 0}},   // diagnostics: sub-function and data
    {0x0B, {0, 0}},   // comm event counter
    {0x0C, {0, 0}},   // comm event log
    {0x0F, {-1, 6}},  // write multiple coils
    {0x10, {-1, 6}},  // write multiple registers
    {0x11, {0, 0}},   // report server id
    {0x16, {6, 0}},   // mask write register
    {0x17, {-1, 10}}, // read/write multiple registers
};

/// No code is in two rows, nor both a function of ours and a foreign one.
consteval bool CodesAreDistinct() {
    for (std::size_t i = 0; i < kFunctions.size(); ++i) {
        for (std::size_t j = i + 1; j < kFunctions.size(); ++j) {
            if (kFunctions[i].code == kFunctions[j].code) {
                return false;
            }
        }
        for (const ForeignFunction& foreign : kForeignFunctions) {
            if (foreign.code == kFunctions[i].code) {
                return false;
            }
        }
    }
    return true;
}
static_assert(CodesAreDistinct(), "a function code in two rows");

/// The row of `code` (taken as it is: an exception reply's code has no row), or nullptr.
constexpr const FunctionRow* FindFunction(uint8_t code) {
    for (const FunctionRow& row : kFunctions) {
        if (row.code == code) {
            return &row;
        }
    }
    return nullptr;
}

/// How many data bytes a request laid out so carries, or -1 when a byte count says it.
constexpr int FixedRequestData(RequestLayout layout) {
    switch (layout) {
    case RequestLayout::kAddressCount:
    case RequestLayout::kAddressValue:
        return 4;
    case RequestLayout::kEmpty:
        return 0;
    case RequestLayout::kEventSetUp:
    case RequestLayout::kClock:
        break;
    }
    return -1;
}

/// A gate's function: one that reads gates with a first address and a count.
constexpr bool ReadsGates(uint8_t code) {
    const FunctionRow* row = FindFunction(code);
    return row != nullptr && row->request == RequestLayout::kAddressCount;
}

/// A read whose reply carries words rather than bits.
constexpr bool ReadsRegisters(uint8_t code) {
    const FunctionRow* row = FindFunction(code);
    return row != nullptr && row->reply == ReplyLayout::kRegisters;
}

/// The event functions, whose refusals the event transaction reads itself.
constexpr bool IsEventFunction(uint8_t code) {
    const FunctionRow* row = FindFunction(code);
    return row != nullptr && row->group == FunctionGroup::kEvents;
}

/// The fields of a request, as its function lays them out. Fields it does not carry stay 0.
struct RequestFields {
    uint16_t address = 0;
    uint16_t count = 0;            ///< kAddressCount: bits or registers
    uint16_t value = 0;            ///< kAddressValue
    uint8_t byteCount = 0;         ///< kEventSetUp and kClock
    uint16_t eventCount = 0;       ///< kEventSetUp: the event gates the master expects
    std::array<uint8_t, 8> time{}; ///< kClock: ms%100, ms/100, s, min, h, day, month, year%100
};

/// The fields of a request whose data bytes `data` have the length its function asks for.
RequestFields DecodeRequestFields(const FunctionRow& row, std::span<const uint8_t> data);

/// The length a request frame will have, CRC included, once enough of its head is known;
/// nullopt while the head is too short to tell or when the function has no known layout.
std::optional<std::size_t> ExpectedRequestLength(std::span<const uint8_t> head);

/// The length a reply to a request of `function` will have, CRC included, once enough of its
/// head is known: an exception reply by its function byte, a counted reply by its byte count;
/// nullopt while the head is too short to tell, and for a function of no known reply layout or
/// one that nobody answers.
std::optional<std::size_t> ExpectedReplyLength(uint8_t function, std::span<const uint8_t> head);

} // namespace merix
