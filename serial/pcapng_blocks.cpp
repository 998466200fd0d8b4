#include "serial/pcapng_blocks.h"

#include <algorithm>

namespace merix {

namespace pcapng {

namespace {

constexpr uint32_t kSectionHeaderType = 0x0A0D0D0A;
constexpr uint32_t kInterfaceType = 1;
constexpr uint32_t kEnhancedPacketType = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptEnd = 0;
constexpr uint16_t kOptComment = 1;
constexpr uint16_t kShbUserAppl = 4;
constexpr uint16_t kIfName = 2;
constexpr uint16_t kIfDescription = 3;
constexpr uint16_t kEpbFlags = 2;
constexpr uint32_t kInbound = 1;
constexpr uint32_t kOutbound = 2;
constexpr std::size_t kRtacHeaderSize = 12;

// Writes a block field by field into a fixed buffer; a block that would not fit leaves
// Finish() answering 0, however far it got.
class Block {
public:
    Block(std::span<uint8_t> out, uint32_t type) : out_(out) {
        Le32(type);
        Le32(0); // the total length, once known
    }
    void U8(uint8_t v) {
        if (at_ < out_.size()) {
            out_[at_] = v;
        } else {
            fits_ = false;
        }
        ++at_;
    }
    void Le16(uint16_t v) {
        U8(static_cast<uint8_t>(v));
        U8(static_cast<uint8_t>(v >> 8));
    }
    void Le32(uint32_t v) {
        Le16(static_cast<uint16_t>(v));
        Le16(static_cast<uint16_t>(v >> 16));
    }
    void Be32(uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            U8(static_cast<uint8_t>(v >> shift));
        }
    }
    void Bytes(std::span<const uint8_t> bytes) {
        for (const uint8_t b : bytes) {
            U8(b);
        }
    }
    void Pad() {
        while (at_ % 4 != 0) {
            U8(0);
        }
    }
    void Option(uint16_t code, std::span<const uint8_t> value) {
        // An option's length field has 16 bits; the texts here are far shorter.
        const std::size_t n = std::min<std::size_t>(value.size(), 0xFFF0);
        Le16(code);
        Le16(static_cast<uint16_t>(n));
        Bytes(value.first(n));
        Pad();
    }
    void Option(uint16_t code, std::string_view text) {
        Option(code, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    }
    void EndOfOptions() {
        Le16(kOptEnd);
        Le16(0);
    }
    std::size_t Finish() {
        const std::size_t total = at_ + 4;
        Le32(static_cast<uint32_t>(total));
        if (!fits_) {
            return 0;
        }
        for (int i = 0; i < 4; ++i) {
            out_[4 + static_cast<std::size_t>(i)] = static_cast<uint8_t>(total >> (8 * i));
        }
        return total;
    }

private:
    std::span<uint8_t> out_;
    std::size_t at_ = 0;
    bool fits_ = true;
};

} // namespace

std::size_t SectionHeader(std::span<uint8_t> out, std::string_view application) {
    Block b(out, kSectionHeaderType);
    b.Le32(kByteOrderMagic);
    b.Le16(1); // version 1.0
    b.Le16(0);
    b.Le32(0xFFFFFFFF); // section length not given
    b.Le32(0xFFFFFFFF);
    b.Option(kShbUserAppl, application);
    b.EndOfOptions();
    return b.Finish();
}

std::size_t Interface(std::span<uint8_t> out, std::string_view name, std::string_view description) {
    Block b(out, kInterfaceType);
    b.Le16(kLinkRtacSerial);
    b.Le16(0);
    b.Le32(0); // no snap length: every byte is kept
    b.Option(kIfName, name);
    b.Option(kIfDescription, description);
    b.EndOfOptions();
    return b.Finish();
}

std::size_t Packet(std::span<uint8_t> out, uint32_t interface, uint64_t epochUs, LineEvent event,
                   std::span<const uint8_t> data, std::string_view comment) {
    const auto length = static_cast<uint32_t>(kRtacHeaderSize + data.size());
    Block b(out, kEnhancedPacketType);
    b.Le32(interface);
    b.Le32(static_cast<uint32_t>(epochUs >> 32)); // microseconds: the interface's default
    b.Le32(static_cast<uint32_t>(epochUs));
    b.Le32(length); // captured
    b.Le32(length); // on the line
    // The RTAC serial header, big-endian as its format has it: the time again, as seconds
    // and microseconds, the event, the control lines (not known here), a footer.
    b.Be32(static_cast<uint32_t>(epochUs / 1000000));
    b.Be32(static_cast<uint32_t>(epochUs % 1000000));
    b.U8(static_cast<uint8_t>(event));
    b.U8(0);
    b.Le16(0);
    b.Bytes(data);
    b.Pad();
    if (!comment.empty()) {
        b.Option(kOptComment, comment);
    }
    if (event == LineEvent::kRequest || event == LineEvent::kReply) {
        uint8_t flags[4] = {};
        flags[0] = static_cast<uint8_t>(event == LineEvent::kRequest ? kOutbound : kInbound);
        b.Option(kEpbFlags, flags);
    }
    b.EndOfOptions();
    return b.Finish();
}

} // namespace pcapng

} // namespace merix
