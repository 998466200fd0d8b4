#include "sim/event_store.h"

namespace h51sim {

std::array<uint8_t, merix::kEventRecordSize> EncodeEventRecord(const EventRecord& r) {
    return {static_cast<uint8_t>(r.number & 0xFF),
            static_cast<uint8_t>(r.number >> 8),
            r.value,
            static_cast<uint8_t>(r.time.millisecond % 100),
            static_cast<uint8_t>(r.time.millisecond / 100),
            static_cast<uint8_t>(r.time.second),
            static_cast<uint8_t>(r.time.minute),
            static_cast<uint8_t>(r.time.hour)};
}

EventStore::EventStore(uint16_t gates, size_t capacity) : states_(gates), capacity_(capacity) {}

EventStore::Outcome EventStore::Record(uint16_t number, bool value, const StationTime& time) {
    if (number >= states_.size()) {
        return Outcome::NoSuchEvent;
    }
    states_[number] = value;
    if (buffer_.size() >= capacity_) {
        overflow_ = true;
        return Outcome::Lost;
    }
    buffer_.push_back(EventRecord{number, static_cast<uint8_t>(value ? 1 : 0), time});
    return Outcome::Buffered;
}

std::vector<uint8_t> EventStore::StateBitmap() const {
    std::vector<uint8_t> bitmap((states_.size() + 7) / 8);
    for (size_t i = 0; i < states_.size(); ++i) {
        if (states_[i]) {
            bitmap[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        }
    }
    return bitmap;
}

void EventStore::Initialise() {
    buffer_.clear();
    overflow_ = false;
    lastBlock_.reset();
}

std::vector<uint8_t> EventStore::NextBlock() {
    std::vector<uint8_t> block;
    for (size_t i = 0; i < kMaxRecordsPerBlock && !buffer_.empty(); ++i) {
        const auto bytes = EncodeEventRecord(buffer_.front());
        block.insert(block.end(), bytes.begin(), bytes.end());
        buffer_.pop_front();
    }
    if (overflow_) {
        block.insert(block.end(), merix::kOverflowMarkerSize, merix::kOverflowMarkerByte);
    }
    lastBlock_ = block;
    return block;
}

} // namespace h51sim
