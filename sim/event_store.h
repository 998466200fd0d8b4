// A controller's event facility: the digital state of each event gate, the buffer of
// time-stamped changes with its overflow flag, and the last block handed out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "serial/protocol.h"
#include "sim/station_clock.h"

namespace h51sim {

struct EventRecord {
    uint16_t number = 0;
    uint8_t value = 0;
    StationTime time;
};

/// The 8 bytes of a record on the wire: number low, number high, value, ms%100, ms/100,
/// second, minute, hour.
std::array<uint8_t, merix::kEventRecordSize> EncodeEventRecord(const EventRecord& record);

using merix::kMaxRecordsPerBlock;

class EventStore {
public:
    enum class Outcome { Buffered, Lost, NoSuchEvent };

    EventStore(uint16_t gates, size_t capacity);

    uint16_t Gates() const { return static_cast<uint16_t>(states_.size()); }
    size_t Capacity() const { return capacity_; }
    size_t Buffered() const { return buffer_.size(); }
    bool Overflow() const { return overflow_; }
    bool State(uint16_t number) const { return number < states_.size() && states_[number]; }

    /// A change of an event gate: its state follows, and the change is buffered, or lost with
    /// the overflow flag set when the buffer is full.
    Outcome Record(uint16_t number, bool value, const StationTime& time);

    /// Event i in bit i%8 of byte i/8; (gates + 7) / 8 bytes.
    std::vector<uint8_t> StateBitmap() const;

    /// The master (re)initialises the facility: buffer, overflow flag and last block go.
    void Initialise();

    /// Takes up to 31 records off the buffer, oldest first, followed by the overflow marker
    /// 0xFF 0xFF while the flag is set; the block is kept for a repeat.
    std::vector<uint8_t> NextBlock();

    const std::optional<std::vector<uint8_t>>& LastBlock() const { return lastBlock_; }

private:
    std::vector<bool> states_;
    std::deque<EventRecord> buffer_;
    size_t capacity_;
    bool overflow_ = false;
    std::optional<std::vector<uint8_t>> lastBlock_;
};

} // namespace h51sim
