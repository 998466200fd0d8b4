#include "serial/frame_text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "serial/crc16.h"
#include "serial/protocol.h"

namespace merix {

namespace {

// Data bytes (between function and CRC) that a request with a fixed layout carries; -1 when
// the layout has its own byte count or is unknown.
int FixedDataLength(uint8_t function) {
    switch (function) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kReadHoldingRegisters:
    case kReadInputRegisters:
    case kWriteSingleCoil:
    case kWriteSingleRegister:
    case 0x08: // diagnostics: sub-function and data
        return 4;
    case kEventNext:
    case kEventRepeat:
    case 0x07: // read exception status
    case 0x0B: // comm event counter
    case 0x0C: // comm event log
    case 0x11: // report server id
        return 0;
    case 0x16: // mask write register
        return 6;
    default:
        return -1;
    }
}

bool CrcOk(std::span<const uint8_t> frame) {
    return CrcMatches(frame.data(), static_cast<int>(frame.size()));
}

void AppendCrcVerdict(TextBuffer& out, std::span<const uint8_t> frame) {
    if (frame.size() < 4) {
        out.Append("too short for a CRC");
    } else {
        out.Append(CrcOk(frame) ? "CRC ok" : "CRC BAD");
    }
}

void AppendHead(TextBuffer& out, std::span<const uint8_t> frame) {
    const std::string_view name = FunctionName(frame[1]);
    out.Printf("st %u fn %02X %.*s", frame[0], frame[1], static_cast<int>(name.size()),
               name.data());
}

// Records of 8 bytes: event number (low byte first), value, then the controller's time stamp
// as ms % 100, ms / 100, seconds, minutes, hours.
void AppendEventBlock(TextBuffer& out, std::span<const uint8_t> block) {
    std::size_t at = 0;
    for (; at + kEventRecordSize <= block.size(); at += kEventRecordSize) {
        const auto r = block.subspan(at, kEventRecordSize);
        out.Printf(" [ev %u=%u %02u:%02u:%02u.%03u]", EventNumber(r, 0), r[2], r[7], r[6], r[5],
                   r[3] + 100u * r[4]);
    }
    const auto rest = block.subspan(at);
    if (rest.size() == 2 && rest[0] == 0xFF && rest[1] == 0xFF) {
        out.Append(" [overflow marker]");
    } else if (!rest.empty()) {
        out.Printf(" [%u stray bytes]", static_cast<unsigned>(rest.size()));
    }
}

} // namespace

void TextBuffer::Clear() {
    size_ = 0;
    if (capacity_ > 0) {
        data_[0] = '\0';
    }
}

void TextBuffer::Append(std::string_view text) {
    if (capacity_ == 0) {
        return;
    }
    const std::size_t n = std::min(text.size(), capacity_ - 1 - size_);
    std::memcpy(data_ + size_, text.data(), n);
    size_ += n;
    data_[size_] = '\0';
}

void TextBuffer::Printf(const char* format, ...) {
    if (capacity_ == 0) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(data_ + size_, capacity_ - size_, format, args);
    va_end(args);
    if (n > 0) {
        size_ = std::min(size_ + static_cast<std::size_t>(n), capacity_ - 1);
    }
}

void TextBuffer::Truncate(std::size_t size) {
    if (size < size_) {
        size_ = size;
        data_[size_] = '\0';
    }
}

std::string_view FunctionName(uint8_t function) {
    switch (function & ~kExceptionBit & 0xFF) {
    case kReadCoils:
        return "read coils";
    case kReadDiscreteInputs:
        return "read inputs";
    case kReadHoldingRegisters:
        return "read registers";
    case kReadInputRegisters:
        return "read input registers";
    case kWriteSingleCoil:
        return "write coil";
    case kWriteSingleRegister:
        return "write register";
    case kEventInit:
        return "event init";
    case kEventNext:
        return "event next block";
    case kEventRepeat:
        return "event repeat block";
    case kTimeSync:
        return "time sync";
    default:
        return "unknown function";
    }
}

std::optional<std::size_t> ExpectedRequestLength(std::span<const uint8_t> head) {
    if (head.size() < 2) {
        return std::nullopt;
    }
    const uint8_t function = head[1];
    const int fixed = FixedDataLength(function);
    if (fixed >= 0) {
        return 4 + static_cast<std::size_t>(fixed);
    }
    // Layouts that carry their own byte count: where it sits, and what precedes it.
    std::size_t countAt = 0;
    switch (function) {
    case kEventInit:
    case kTimeSync:
        countAt = 2;
        break;
    case 0x0F: // write multiple coils
    case 0x10: // write multiple registers
        countAt = 6;
        break;
    case 0x17: // read/write multiple registers
        countAt = 10;
        break;
    default:
        return std::nullopt;
    }
    if (head.size() <= countAt) {
        return std::nullopt;
    }
    return countAt + 1 + head[countAt] + 2;
}

void AppendHex(TextBuffer& out, std::span<const uint8_t> bytes, std::size_t limit) {
    // By hand: a trace line holds up to 64 of these, and a printf call for each costs more
    // than the rest of the line.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const char text[3] = {' ', kDigits[bytes[i] >> 4], kDigits[bytes[i] & 0x0F]};
        out.Append(i == 0 ? std::string_view(text + 1, 2) : std::string_view(text, 3));
    }
    if (bytes.size() > limit) {
        out.Append(" ...");
    }
}

void DescribeRequest(TextBuffer& out, std::span<const uint8_t> frame) {
    if (frame.size() < 2) {
        out.Append("fragment | ");
        AppendCrcVerdict(out, frame);
        return;
    }
    AppendHead(out, frame);
    if (frame.size() < 4) {
        out.Append(" | too short");
        return;
    }
    if (frame.size() > kMaxRtuFrame) {
        out.Append(" | too long");
        return;
    }
    if (!CrcOk(frame)) {
        out.Append(" | bad CRC");
        return;
    }
    const std::optional<std::size_t> expected = ExpectedRequestLength(frame);
    if (expected && *expected != frame.size()) {
        out.Append(" | length does not fit the function");
        return;
    }
    const auto data = frame.subspan(2, frame.size() - 4);
    switch (frame[1]) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kReadHoldingRegisters:
    case kReadInputRegisters:
        out.Printf(" addr %u count %u", Word(data, 0), Word(data, 2));
        break;
    case kWriteSingleCoil:
    case kWriteSingleRegister:
        out.Printf(" addr %u value 0x%04X", Word(data, 0), Word(data, 2));
        break;
    case kEventInit:
        // The count is the last word of the field, whatever the field's length.
        out.Printf(" events %u", data.size() >= 3 ? Word(data, data.size() - 2) : 0u);
        break;
    case kTimeSync: {
        // ms % 100, ms / 100, s, min, h, day, month, year % 100 behind the byte count.
        uint8_t t[8] = {};
        for (std::size_t i = 0; i < 8 && i + 1 < data.size(); ++i) {
            t[i] = data[i + 1];
        }
        out.Printf(" %02u-%02u-%02u %02u:%02u:%02u.%03u", t[7], t[6], t[5], t[4], t[3], t[2],
                   t[0] + 100u * t[1]);
        break;
    }
    default:
        break;
    }
    out.Append(" | CRC ok");
}

void DescribeReply(TextBuffer& out, std::span<const uint8_t> frame) {
    if (frame.size() < 2) {
        out.Append("fragment | ");
        AppendCrcVerdict(out, frame);
        return;
    }
    AppendHead(out, frame);
    const uint8_t function = frame[1];
    if ((function & kExceptionBit) != 0) {
        if (frame.size() >= 3) {
            out.Printf(" exception %u", frame[2]);
        }
        out.Append(" | ");
        AppendCrcVerdict(out, frame);
        return;
    }
    if (function == kWriteSingleCoil || function == kWriteSingleRegister) {
        if (frame.size() >= 6) {
            out.Printf(" addr %u value 0x%04X", Word(frame, 2), Word(frame, 4));
        }
        out.Append(" | ");
        AppendCrcVerdict(out, frame);
        return;
    }
    if (frame.size() < 3) {
        out.Append(" | no byte count");
        return;
    }
    const std::size_t n = frame[2];
    out.Printf(" %u bytes", static_cast<unsigned>(n));
    if (frame.size() != n + 5) {
        out.Printf(" | length %u, expected %u | ", static_cast<unsigned>(frame.size()),
                   static_cast<unsigned>(n + 5));
        AppendCrcVerdict(out, frame);
        return;
    }
    const auto data = frame.subspan(3, n);
    if (function == kEventNext || function == kEventRepeat) {
        AppendEventBlock(out, data);
    } else if (function == kReadHoldingRegisters || function == kReadInputRegisters) {
        out.Append(":");
        for (std::size_t i = 0; i + 1 < n && i < 32; i += 2) {
            out.Printf(" %u", Word(data, i));
        }
        if (n > 32) {
            out.Append(" ...");
        }
    } else if (n > 0) {
        out.Append(": ");
        AppendHex(out, data, 16);
    }
    out.Append(" | ");
    AppendCrcVerdict(out, frame);
}

} // namespace merix
