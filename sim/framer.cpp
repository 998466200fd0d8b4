#include "sim/framer.h"

#include "serial/crc16.h"
#include "sim/request.h"

namespace h51sim {

void Framer::Push(std::span<const uint8_t> bytes, Clock::time_point now) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    times_.insert(times_.end(), bytes.size(), now);
}

std::optional<RxFrame> Framer::Pop() {
    if (bytes_.size() < 2) {
        return std::nullopt;
    }
    const std::optional<size_t> expected = ExpectedRequestLength(bytes_);
    if (expected && *expected <= kMaxRtuFrame) {
        if (bytes_.size() >= *expected) {
            return Take(*expected, false);
        }
        return std::nullopt;
    }
    // No fixed layout: the shortest prefix that ends in its own CRC is taken as the frame.
    for (size_t length = 4; length <= bytes_.size() && length <= kMaxRtuFrame; ++length) {
        if (merix::CrcMatches(bytes_.data(), static_cast<int>(length))) {
            return Take(length, false);
        }
    }
    if (bytes_.size() > kMaxRtuFrame) {
        // Longer than any frame may be: hand it on as one overlong piece.
        return Take(bytes_.size(), false);
    }
    return std::nullopt;
}

std::optional<RxFrame> Framer::Flush() {
    if (bytes_.empty()) {
        return std::nullopt;
    }
    return Take(bytes_.size(), true);
}

RxFrame Framer::Take(size_t length, bool bySilence) {
    RxFrame frame;
    frame.bytes.assign(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(length));
    frame.firstByte = times_.front();
    frame.endedBySilence = bySilence;
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(length));
    times_.erase(times_.begin(), times_.begin() + static_cast<std::ptrdiff_t>(length));
    return frame;
}

} // namespace h51sim
