// A readable account of the line for users who debug it: every frame in both directions with
// its time, station, function, fields and CRC verdict.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace h51sim {

/// "st 1 fn 03 read registers addr 100 count 10 | CRC ok"
std::string DescribeRequestFrame(std::span<const uint8_t> frame);

/// "st 1 fn 03 read registers 4 bytes: 0001 0002 | CRC ok"
std::string DescribeReplyFrame(std::span<const uint8_t> frame);

/// Bytes as "01 03 00 64"; long runs are cut with "..." after `limit` bytes.
std::string HexBytes(std::span<const uint8_t> bytes, size_t limit = 64);

using TraceSink = std::function<void(std::string_view line)>;

/// Formats trace lines and hands them to a sink; without a sink it does nothing.
class Trace {
public:
    void SetSink(TraceSink sink) { sink_ = std::move(sink); }
    bool Enabled() const { return static_cast<bool>(sink_); }

    void Received(std::span<const uint8_t> frame, std::string_view note = {});
    void Sent(std::span<const uint8_t> frame, std::string_view note = {});
    void Note(std::string_view text);

private:
    void Emit(std::string_view direction, std::string_view body);

    TraceSink sink_;
};

} // namespace h51sim
