// The Telnet side of a network port that speaks RFC 2217: a decoder for what the server sends,
// the client's half of option negotiation, and the encoders for what the client sends. Pure
// byte work, no I/O and no allocation, so that it can be fuzzed and shared by every backend.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace merix::plat::telnet {

// Telnet commands (RFC 854).
inline constexpr uint8_t kSe = 240;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kIac = 255;

// Options: binary transmission (RFC 856), suppress go-ahead (RFC 858), COM port control
// (RFC 2217).
inline constexpr uint8_t kOptionBinary = 0;
inline constexpr uint8_t kOptionSuppressGoAhead = 3;
inline constexpr uint8_t kOptionComPort = 44;

/// RFC 2217's commands from client to server; the server answers each with its code plus
/// kServerAnswer.
enum ComPortCommand : uint8_t {
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyLineState = 6,
    kNotifyModemState = 7,
    kSetLineStateMask = 10,
    kPurgeData = 12,
};
inline constexpr uint8_t kServerAnswer = 100;

// SET-PARITY values, SET-STOPSIZE values, SET-CONTROL's "no flow control" and PURGE-DATA's
// "the access server's receive buffer".
inline constexpr uint8_t kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4,
                         kParitySpace = 5;
inline constexpr uint8_t kStopOne = 1, kStopTwo = 2, kStopOneAndAHalf = 3;
inline constexpr uint8_t kControlNoFlowControl = 1;
inline constexpr uint8_t kPurgeReceiveBuffer = 1;

// LINESTATE bits that tell of errors on received characters.
inline constexpr uint8_t kLineOverrun = 0x02;
inline constexpr uint8_t kLineParity = 0x04;
inline constexpr uint8_t kLineFraming = 0x08;
inline constexpr uint8_t kLineBreak = 0x10;
inline constexpr uint8_t kLineErrorMask = kLineOverrun | kLineParity | kLineFraming | kLineBreak;

/// What one byte from the server completed.
enum class Event : uint8_t {
    kNone,           ///< nothing yet: part of a command, or a command of no interest
    kData,           ///< a data byte: Data()
    kNegotiation,    ///< WILL, WONT, DO or DONT: Verb(), Option()
    kSubnegotiation, ///< IAC SB ... IAC SE within bounds: Sub(), the option byte first
};

/// The server's byte stream taken apart one byte at a time. A subnegotiation longer than
/// kSubRoom bytes is dropped whole: no server of COM port control needs more, and a server that
/// never ends one must not grow anything.
class Decoder {
public:
    static constexpr std::size_t kSubRoom = 64;

    Event Feed(uint8_t byte);

    uint8_t Data() const { return data_; }
    uint8_t Verb() const { return verb_; }
    uint8_t Option() const { return data_; }
    std::span<const uint8_t> Sub() const { return {sub_.data(), subLength_}; }

private:
    enum class State : uint8_t { kData, kIac, kVerb, kSub, kSubIac };
    Event AfterIac(uint8_t byte);
    void KeepSub(uint8_t byte);

    State state_ = State::kData;
    uint8_t data_ = 0;
    uint8_t verb_ = 0;
    bool subOverlong_ = false;
    std::size_t subLength_ = 0;
    std::array<uint8_t, kSubRoom> sub_{};
};

/// The client's half of option negotiation, after RFC 1143: a request is answered only when
/// it changes an option's state, so that the two sides never loop, and an option the client
/// asked for itself is taken without an answer when the server agrees.
class Negotiation {
public:
    /// Notes that the client asked WILL or DO for `option` itself.
    void Asked(uint8_t verb, uint8_t option);
    /// The verb to send back for the server's `verb` on `option`, 0 when no answer is due.
    uint8_t Answer(uint8_t verb, uint8_t option);
    /// True when the client does `option` (WILL agreed).
    bool Local(uint8_t option) const { return local_[option] == kYes; }
    /// True while the client's own WILL for `option` awaits the server's answer.
    bool LocalAsked(uint8_t option) const { return local_[option] == kWantYes; }
    /// True when the server does `option` (DO agreed).
    bool Remote(uint8_t option) const { return remote_[option] == kYes; }

private:
    static constexpr uint8_t kNo = 0, kYes = 1, kWantYes = 2;
    static bool Supported(uint8_t option);

    std::array<uint8_t, 256> local_{};
    std::array<uint8_t, 256> remote_{};
};

/// `data` with every 0xFF doubled, into `out`; the bytes written, 0 when `out` is too small.
std::size_t EncodeData(std::span<const uint8_t> data, std::span<uint8_t> out);
/// IAC `verb` `option` into `out`; 3, or 0 when `out` is too small.
std::size_t EncodeNegotiation(uint8_t verb, uint8_t option, std::span<uint8_t> out);
/// IAC SB COM-PORT-OPTION `command` `value` IAC SE, 0xFF in the value doubled; the bytes
/// written, 0 when `out` is too small.
std::size_t EncodeComPort(uint8_t command, std::span<const uint8_t> value, std::span<uint8_t> out);

} // namespace merix::plat::telnet
