// Timing of the serial line: character time, turnaround, and the deadlines of reply bytes.
//
// A pseudo-terminal moves bytes instantly, so the simulator supplies the wire's timing itself:
// a reply begins no earlier than the request would have ended on the wire plus the turnaround,
// and its bytes are released at the line rate on absolute deadlines (no drift from sleeps).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace h51sim {

enum class Parity { None, Even, Odd };

struct LineConfig {
    int baud = 9600;
    int dataBits = 8;
    Parity parity = Parity::Even;
    int stopBits = 1;
    double turnaroundMs = -1.0; ///< below 0: 3.5 character times
    uint64_t seed = 1;          ///< random events and faults
    bool pacing = true;         ///< false: replies go out at once, in one write
    /// The line hears every request: each byte is sent back as it arrives, as a transceiver
    /// whose receiver stays on (2-wire adapters, automatic direction) sends its own bytes back.
    bool echo = false;
    /// On a pseudo-terminal, bytes that the master sends at another baud rate than `baud` are
    /// garbled and ignored, as a station's UART would; true takes them at any rate.
    bool anyBaud = false;
};

/// Checks a configuration; false with the reason in `why` when it cannot be used.
bool ValidateLineConfig(const LineConfig& config, const char** why);

class LineTiming {
public:
    using Clock = std::chrono::steady_clock;
    using Nanos = std::chrono::nanoseconds;

    explicit LineTiming(const LineConfig& config);

    /// Start bit, data bits, parity bit, stop bits.
    int BitsPerChar() const { return bitsPerChar_; }
    Nanos CharTime() const { return charTime_; }
    Nanos FrameTime(size_t bytes) const { return charTime_ * static_cast<int64_t>(bytes); }
    Nanos Turnaround() const { return turnaround_; }

    /// Silence after which pending bytes count as a frame of their own. Never shorter than
    /// 20 ms, because pseudo-terminals and USB adapters deliver bytes in bursts.
    Nanos SilenceGap() const;

    /// The earliest start of a reply to a request of `bytes` whose first byte arrived at
    /// `firstByte`: the request's end on the wire plus the turnaround.
    Clock::time_point ReplyStart(Clock::time_point firstByte, size_t bytes) const {
        return firstByte + FrameTime(bytes) + turnaround_;
    }

    /// When byte `index` of a frame that starts at `start` has fully left the line.
    Clock::time_point ByteDeadline(Clock::time_point start, size_t index) const {
        return start + FrameTime(index + 1);
    }

private:
    int bitsPerChar_;
    Nanos charTime_;
    Nanos turnaround_;
};

} // namespace h51sim
