#include "sim/trace.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "serial/crc16.h"
#include "sim/request.h"

namespace h51sim {

namespace {

std::string Format(const char* fmt, auto... args) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

std::string CrcVerdict(std::span<const uint8_t> frame) {
    if (frame.size() < 4) {
        return "too short for a CRC";
    }
    return merix::CrcMatches(frame.data(), static_cast<int>(frame.size())) ? "CRC ok" : "CRC BAD";
}

std::string Head(std::span<const uint8_t> frame) {
    return Format("st %u fn %02X %s", frame[0], frame[1],
                  std::string(FunctionName(frame[1])).c_str());
}

std::string DescribeEventBlock(std::span<const uint8_t> block) {
    std::string out;
    size_t at = 0;
    for (; at + 8 <= block.size(); at += 8) {
        const auto r = block.subspan(at, 8);
        out += Format(" [ev %u=%u %02u:%02u:%02u.%03u]", r[0] | (r[1] << 8), r[2], r[7], r[6], r[5],
                      r[3] + 100u * r[4]);
    }
    const auto rest = block.subspan(at);
    if (rest.size() == 2 && rest[0] == 0xFF && rest[1] == 0xFF) {
        out += " [overflow marker]";
    } else if (!rest.empty()) {
        out += " [" + std::to_string(rest.size()) + " stray bytes]";
    }
    return out;
}

} // namespace

std::string HexBytes(std::span<const uint8_t> bytes, size_t limit) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        out += Format(i == 0 ? "%02X" : " %02X", bytes[i]);
    }
    if (bytes.size() > limit) {
        out += " ...";
    }
    return out;
}

std::string DescribeRequestFrame(std::span<const uint8_t> frame) {
    if (frame.size() < 2) {
        return "fragment | " + CrcVerdict(frame);
    }
    const ParseResult parsed = ParseRequest(frame);
    std::string out = Head(frame);
    if (!parsed.ok()) {
        return out + " | " + std::string(RequestErrorName(parsed.error));
    }
    const Request& r = parsed.request;
    switch (r.function) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kReadHoldingRegisters:
    case kReadInputRegisters:
        out += Format(" addr %u count %u", r.address, r.count);
        break;
    case kWriteSingleCoil:
    case kWriteSingleRegister:
        out += Format(" addr %u value 0x%04X", r.address, r.value);
        break;
    case kEventInit:
        out += Format(" events %u", r.eventCount);
        break;
    case kTimeSync: {
        const auto& t = r.time;
        out += Format(" %02u-%02u-%02u %02u:%02u:%02u.%03u", t[7], t[6], t[5], t[4], t[3], t[2],
                      t[0] + 100u * t[1]);
        break;
    }
    default:
        break;
    }
    return out + " | CRC ok";
}

std::string DescribeReplyFrame(std::span<const uint8_t> frame) {
    if (frame.size() < 2) {
        return "fragment | " + CrcVerdict(frame);
    }
    std::string out = Head(frame);
    const uint8_t function = frame[1];
    if ((function & 0x80) != 0) {
        if (frame.size() >= 3) {
            out += Format(" exception %u", frame[2]);
        }
        return out + " | " + CrcVerdict(frame);
    }
    if (function == kWriteSingleCoil || function == kWriteSingleRegister) {
        if (frame.size() >= 6) {
            out += Format(" addr %u value 0x%04X", (frame[2] << 8) | frame[3],
                          (frame[4] << 8) | frame[5]);
        }
        return out + " | " + CrcVerdict(frame);
    }
    if (frame.size() < 3) {
        return out + " | no byte count";
    }
    const size_t n = frame[2];
    out += Format(" %zu bytes", n);
    if (frame.size() != n + 5) {
        return out + Format(" | length %zu, expected %zu | ", frame.size(), n + 5) +
               CrcVerdict(frame);
    }
    const auto data = frame.subspan(3, n);
    if (function == kEventNext || function == kEventRepeat) {
        out += DescribeEventBlock(data);
    } else if (function == kReadHoldingRegisters || function == kReadInputRegisters) {
        out += ":";
        for (size_t i = 0; i + 1 < n && i < 32; i += 2) {
            out += Format(" %u", (data[i] << 8) | data[i + 1]);
        }
        if (n > 32) {
            out += " ...";
        }
    } else if (n > 0) {
        out += ": " + HexBytes(data, 16);
    }
    return out + " | " + CrcVerdict(frame);
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
    std::string line = Format("%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
                              static_cast<int>(ms));
    line += direction;
    line += ' ';
    line += body;
    sink_(line);
}

} // namespace h51sim
