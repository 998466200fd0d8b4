#include "serial/frame_text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "serial/crc16.h"
#include "serial/protocol.h"

namespace merix {

namespace {

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
// As the driver takes a block: any block that ends in FF FF carries the overflow marker, and the
// records stop before it only where whole records come before it.
void AppendEventBlock(TextBuffer& out, std::span<const uint8_t> block) {
    const std::size_t n = block.size();
    const bool marker = EndsInOverflowMarker(block);
    const std::size_t records = EventRecordBytes(block);
    std::size_t at = 0;
    for (; at + kEventRecordSize <= records; at += kEventRecordSize) {
        const auto r = block.subspan(at, kEventRecordSize);
        out.Printf(" [ev %u=%u %02u:%02u:%02u.%03u]", EventNumber(r, 0), r[2], r[7], r[6], r[5],
                   r[3] + 100u * r[4]);
    }
    const std::size_t end = marker ? n - kOverflowMarkerSize : n;
    if (at < end) {
        out.Printf(" [%u stray bytes]", static_cast<unsigned>(end - at));
    }
    if (marker) {
        out.Append(" [overflow marker]");
    }
}

// " addr 100 count 10": the two words of a request or of a write's echo, as the row names them.
void AppendWords(TextBuffer& out, const FunctionRow& row, std::span<const uint8_t> data) {
    for (std::size_t i = 0; i < row.words.size(); ++i) {
        const WordField& field = row.words[i];
        out.Printf(field.hex ? " %.*s 0x%04X" : " %.*s %u", static_cast<int>(field.label.size()),
                   field.label.data(), Word(data, 2 * i));
    }
}

void AppendRequestFields(TextBuffer& out, const FunctionRow& row, std::span<const uint8_t> data) {
    const RequestFields f = DecodeRequestFields(row, data);
    switch (row.request) {
    case RequestLayout::kAddressCount:
    case RequestLayout::kAddressValue:
        AppendWords(out, row, data);
        break;
    case RequestLayout::kEventSetUp:
        out.Printf(" %.*s %u", static_cast<int>(row.words[0].label.size()),
                   row.words[0].label.data(), f.eventCount);
        break;
    case RequestLayout::kClock: {
        const auto& t = f.time;
        out.Printf(" %02u-%02u-%02u %02u:%02u:%02u.%03u", t[7], t[6], t[5], t[4], t[3], t[2],
                   t[0] + 100u * t[1]);
        break;
    }
    case RequestLayout::kEmpty:
        break;
    }
}

// Register values as numbers, up to 16 of them.
void AppendRegisters(TextBuffer& out, std::span<const uint8_t> data) {
    out.Append(":");
    for (std::size_t i = 0; i + 1 < data.size() && i < 32; i += 2) {
        out.Printf(" %u", Word(data, i));
    }
    if (data.size() > 32) {
        out.Append(" ...");
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
    const FunctionRow* row = FindFunction(function & ~kExceptionBit & 0xFF);
    return row != nullptr ? row->name : "unknown function";
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
    if (const FunctionRow* row = FindFunction(frame[1])) {
        AppendRequestFields(out, *row, frame.subspan(2, frame.size() - 4));
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
    const FunctionRow* row = FindFunction(function);
    if (row != nullptr && row->reply == ReplyLayout::kEcho) {
        if (frame.size() >= 6) {
            AppendWords(out, *row, frame.subspan(2, 4));
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
    const ReplyLayout layout = row != nullptr ? row->reply : ReplyLayout::kBits;
    if (layout == ReplyLayout::kEventBlock) {
        AppendEventBlock(out, data);
    } else if (layout == ReplyLayout::kRegisters) {
        AppendRegisters(out, data);
    } else if (n > 0) {
        out.Append(": ");
        AppendHex(out, data, 16);
    }
    out.Append(" | ");
    AppendCrcVerdict(out, frame);
}

} // namespace merix
