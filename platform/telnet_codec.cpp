#include "platform/telnet_codec.h"

namespace merix::plat::telnet {

Event Decoder::Feed(uint8_t byte) {
    switch (state_) {
    case State::kData:
        if (byte == kIac) {
            state_ = State::kIac;
            return Event::kNone;
        }
        data_ = byte;
        return Event::kData;
    case State::kIac:
        return AfterIac(byte);
    case State::kVerb:
        state_ = State::kData;
        data_ = byte;
        return Event::kNegotiation;
    case State::kSub:
        if (byte == kIac) {
            state_ = State::kSubIac;
        } else {
            KeepSub(byte);
        }
        return Event::kNone;
    case State::kSubIac:
        if (byte == kIac) {
            KeepSub(kIac); // a doubled 0xFF within the subnegotiation
            state_ = State::kSub;
            return Event::kNone;
        }
        if (byte == kSe) {
            state_ = State::kData;
            return subOverlong_ || subLength_ == 0 ? Event::kNone : Event::kSubnegotiation;
        }
        // IAC and anything but SE or IAC ends a subnegotiation that was never closed: it is
        // dropped, and the byte is taken as the command it names.
        return AfterIac(byte);
    }
    return Event::kNone;
}

Event Decoder::AfterIac(uint8_t byte) {
    switch (byte) {
    case kIac:
        state_ = State::kData;
        data_ = kIac;
        return Event::kData;
    case kWill:
    case kWont:
    case kDo:
    case kDont:
        state_ = State::kVerb;
        verb_ = byte;
        return Event::kNone;
    case kSb:
        state_ = State::kSub;
        subLength_ = 0;
        subOverlong_ = false;
        return Event::kNone;
    default:
        state_ = State::kData; // NOP, GA, a stray SE and the like carry nothing for a client
        return Event::kNone;
    }
}

void Decoder::KeepSub(uint8_t byte) {
    if (subLength_ < sub_.size()) {
        sub_[subLength_++] = byte;
    } else {
        subOverlong_ = true;
    }
}

bool Negotiation::Supported(uint8_t option) {
    return option == kOptionBinary || option == kOptionSuppressGoAhead || option == kOptionComPort;
}

void Negotiation::Asked(uint8_t verb, uint8_t option) {
    auto& state = verb == kWill ? local_[option] : remote_[option];
    if (state == kNo) {
        state = kWantYes;
    }
}

uint8_t Negotiation::Answer(uint8_t verb, uint8_t option) {
    // The server's DO and DONT are about what the client does; WILL and WONT about itself.
    const bool aboutClient = verb == kDo || verb == kDont;
    const bool enable = verb == kDo || verb == kWill;
    auto& state = aboutClient ? local_[option] : remote_[option];
    const uint8_t agree = aboutClient ? kWill : kDo;
    const uint8_t refuse = aboutClient ? kWont : kDont;
    if (verb != kDo && verb != kDont && verb != kWill && verb != kWont) {
        return 0;
    }
    if (enable) {
        if (state == kYes) {
            return 0;
        }
        if (state == kWantYes) {
            state = kYes; // the answer to the client's own request
            return 0;
        }
        if (!Supported(option)) {
            return refuse;
        }
        state = kYes;
        return agree;
    }
    const bool wasOn = state == kYes;
    state = kNo;
    return wasOn ? refuse : 0;
}

std::size_t EncodeData(std::span<const uint8_t> data, std::span<uint8_t> out) {
    std::size_t n = 0;
    for (const uint8_t byte : data) {
        const std::size_t need = byte == kIac ? 2 : 1;
        if (out.size() - n < need) {
            return 0;
        }
        out[n++] = byte;
        if (byte == kIac) {
            out[n++] = kIac;
        }
    }
    return n;
}

std::size_t EncodeNegotiation(uint8_t verb, uint8_t option, std::span<uint8_t> out) {
    if (out.size() < 3) {
        return 0;
    }
    out[0] = kIac;
    out[1] = verb;
    out[2] = option;
    return 3;
}

std::size_t EncodeComPort(uint8_t command, std::span<const uint8_t> value, std::span<uint8_t> out) {
    constexpr std::size_t kFrame = 6; // IAC SB option command ... IAC SE
    if (out.size() < kFrame) {
        return 0;
    }
    out[0] = kIac;
    out[1] = kSb;
    out[2] = kOptionComPort;
    out[3] = command;
    const std::size_t n = EncodeData(value, out.subspan(4, out.size() - kFrame));
    if (n == 0 && !value.empty()) {
        return 0;
    }
    out[4 + n] = kIac;
    out[5 + n] = kSe;
    return kFrame + n;
}

} // namespace merix::plat::telnet
