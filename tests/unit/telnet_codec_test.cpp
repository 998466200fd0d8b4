// The Telnet side of an RFC 2217 port: what the server's bytes amount to, how the client
// answers option negotiation, and what it puts on the wire.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/telnet_codec.h"

namespace merix::test {
namespace {

using namespace plat::telnet;

/// The events that `bytes` complete, as "D41" (data), "N251:44" (negotiation) and
/// "S2C,6A,08" (a subnegotiation's bytes), blank-separated.
std::string Decoded(const std::vector<uint8_t>& bytes) {
    Decoder decoder;
    std::string out;
    char text[8];
    for (const uint8_t byte : bytes) {
        switch (decoder.Feed(byte)) {
        case Event::kData:
            std::snprintf(text, sizeof text, " D%02X", decoder.Data());
            out += text;
            break;
        case Event::kNegotiation:
            out += " N" + std::to_string(decoder.Verb()) + ":" + std::to_string(decoder.Option());
            break;
        case Event::kSubnegotiation:
            out += " S";
            for (const uint8_t b : decoder.Sub()) {
                std::snprintf(text, sizeof text, "%02X,", b);
                out += text;
            }
            out.pop_back();
            break;
        case Event::kNone:
            break;
        }
    }
    return out.empty() ? out : out.substr(1);
}

struct DecodeCase {
    const char* name;
    std::vector<uint8_t> bytes;
    std::string events;
};

class TelnetDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(TelnetDecode, GivesTheEventsOfTheBytes) {
    EXPECT_EQ(Decoded(GetParam().bytes), GetParam().events);
}

std::vector<uint8_t> Overlong() {
    std::vector<uint8_t> bytes{kIac, kSb, kOptionComPort};
    bytes.insert(bytes.end(), Decoder::kSubRoom, 0x55);
    bytes.insert(bytes.end(), {kIac, kSe, 0x41});
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TelnetDecode,
    ::testing::Values(
        DecodeCase{"DoubledIacIsOneDataByte", {0x41, kIac, kIac, 0x42}, "D41 DFF D42"},
        DecodeCase{"Negotiation", {kIac, kWill, kOptionComPort}, "N251:44"},
        // NOTIFY-LINESTATE (106) with a doubled 0xFF inside: IAC SB 44 106 FF FF IAC SE
        DecodeCase{
            "SubnegotiationUndoubled", {kIac, kSb, 44, 106, kIac, kIac, kIac, kSe}, "S2C,6A,FF"},
        DecodeCase{"OverlongSubnegotiationDroppedWhole", Overlong(), "D41"},
        // An SB never closed: the IAC WILL that follows ends it, and counts.
        DecodeCase{"UnclosedSubnegotiationDropped",
                   {kIac, kSb, 44, 106, 8, kIac, kWill, 1, 0x41},
                   "N251:1 D41"},
        DecodeCase{"NopAndGoAheadCarryNothing", {kIac, 241, 0x41, kIac, 249}, "D41"},
        DecodeCase{"EmptySubnegotiationIgnored", {kIac, kSb, kIac, kSe, 0x00}, "D00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TelnetNegotiation, AnswersOnlyAChangeAndTakesWhatItAskedFor) {
    Negotiation n;
    n.Asked(kWill, kOptionComPort);
    n.Asked(kDo, kOptionBinary);
    n.Asked(kWill, kOptionBinary);
    n.Asked(kDo, kOptionComPort);
    const struct {
        uint8_t verb;
        uint8_t option;
        uint8_t answer;
    } steps[] = {
        {kDo, kOptionComPort, 0},             // the answer to the client's own WILL
        {kWill, kOptionBinary, 0},            // and to its DO
        {kDont, kOptionBinary, 0},            // its WILL refused: asked is not on, no WONT
        {kWont, kOptionComPort, 0},           // its DO refused: no DONT (or the two would loop)
        {kDo, 1, kWont},                      // echo: not for a serial line
        {kWill, 1, kDont},                    //
        {kWill, kOptionSuppressGoAhead, kDo}, // offered by the server: taken
        {kWill, kOptionSuppressGoAhead, 0},   // again: no change, no answer
        {kDont, kOptionComPort, kWont},       // switched off: confirmed once
        {kDont, kOptionComPort, 0},           //
        {kWont, kOptionBinary, kDont},        //
        {kWont, 1, 0},                        // never on: nothing to confirm
        {kSe, 0, 0},                          // no negotiation verb
    };
    for (const auto& s : steps) {
        EXPECT_EQ(n.Answer(s.verb, s.option), s.answer) << int(s.verb) << " " << int(s.option);
    }
    EXPECT_FALSE(n.Local(kOptionComPort));
    EXPECT_TRUE(n.Remote(kOptionSuppressGoAhead));
    EXPECT_FALSE(n.Remote(kOptionBinary));
}

TEST(TelnetEncode, DoublesIacInDataAndInAComPortValue) {
    uint8_t out[16];
    const uint8_t data[] = {0x01, 0xFF, 0x03};
    ASSERT_EQ(EncodeData(data, out), 4u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x01, 0xFF, 0xFF, 0x03}));
    EXPECT_EQ(EncodeData(data, std::span(out, 3)), 0u) << "no room for the doubled byte";

    const uint8_t baud[] = {0x00, 0x01, 0xC2, 0xFF}; // a baud rate whose last byte is 0xFF
    ASSERT_EQ(EncodeComPort(kSetBaudRate, baud, out), 11u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 11),
              (std::vector<uint8_t>{kIac, kSb, 44,                // COM-PORT-OPTION
                                    1,                            // SET-BAUDRATE
                                    0x00, 0x01, 0xC2, 0xFF, 0xFF, // doubled
                                    kIac, kSe}));
    EXPECT_EQ(EncodeComPort(kSetBaudRate, baud, std::span(out, 10)), 0u);
}

} // namespace
} // namespace merix::test
