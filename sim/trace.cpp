#include "sim/trace.h"

#include <chrono>
#include <ctime>

#include "serial/frame_text.h"

namespace h51sim {

namespace {

// Room for a request or reply in words; the decoder cuts what does not fit.
using FrameText = merix::FixedText<2048>;

} // namespace

std::string HexBytes(std::span<const uint8_t> bytes, size_t limit) {
    FrameText out;
    merix::AppendHex(out, bytes, limit);
    return std::string(out.View());
}

std::string DescribeRequestFrame(std::span<const uint8_t> frame) {
    FrameText out;
    merix::DescribeRequest(out, frame);
    return std::string(out.View());
}

std::string DescribeReplyFrame(std::span<const uint8_t> frame) {
    FrameText out;
    merix::DescribeReply(out, frame);
    return std::string(out.View());
}

void Trace::Received(std::span<const uint8_t> frame, std::string_view note) {
    if (!sink_) {
        return;
    }
    std::string body = HexBytes(frame) + " | " + DescribeRequestFrame(frame);
    if (!note.empty()) {
        body += " | ";
        body += note;
    }
    Emit("RX", body);
}

void Trace::Sent(std::span<const uint8_t> frame, std::string_view note) {
    if (!sink_) {
        return;
    }
    std::string body = HexBytes(frame) + " | " + DescribeReplyFrame(frame);
    if (!note.empty()) {
        body += " | ";
        body += note;
    }
    Emit("TX", body);
}

void Trace::Note(std::string_view text) {
    if (sink_) {
        Emit("--", text);
    }
}

void Trace::Emit(std::string_view direction, std::string_view body) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    merix::FixedText<32> stamp;
    stamp.Printf("%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
                 static_cast<int>(ms));
    std::string line(stamp.View());
    line += direction;
    line += ' ';
    line += body;
    sink_(line);
}

} // namespace h51sim
