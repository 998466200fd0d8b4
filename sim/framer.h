// Cuts the byte stream from the master into request frames.
//
// A pseudo-terminal delivers bytes in whatever chunks the writer used and without the
// 3.5-character silence that delimits RTU frames on a wire, so frames are cut by length where
// the function fixes it, by a matching CRC where it does not, and by silence as a last resort
// (garbage, frames cut short).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace h51sim {

using Clock = std::chrono::steady_clock;

struct RxFrame {
    std::vector<uint8_t> bytes;
    Clock::time_point firstByte; ///< when its first byte was read
    bool endedBySilence = false; ///< cut by the silence rule, not by its length
};

class Framer {
public:
    void Push(std::span<const uint8_t> bytes, Clock::time_point now);

    /// The next frame that is complete by its length or CRC, if any.
    std::optional<RxFrame> Pop();

    /// Everything still pending, as one frame; call it once the line has been silent.
    std::optional<RxFrame> Flush();

    bool Pending() const { return !bytes_.empty(); }
    /// Time of the newest pending byte; only meaningful while Pending().
    Clock::time_point LastByteTime() const { return times_.back(); }

private:
    RxFrame Take(size_t length, bool bySilence);

    std::vector<uint8_t> bytes_;
    std::vector<Clock::time_point> times_;
};

} // namespace h51sim
