#include "sim/request.h"

#include <gtest/gtest.h>

#include "sim/framer.h"
#include "sim/reply.h"

namespace h51sim {
namespace {

std::vector<uint8_t> Crc(std::vector<uint8_t> frame) {
    AppendCrc(frame);
    return frame;
}

struct ParseCase {
    const char* name;
    std::vector<uint8_t> frame;
    RequestError error;
    uint8_t function;
    uint16_t address;
    uint16_t count;
    uint16_t value;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class ParseRequestTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseRequestTest, DecodesFieldsOrGivesReason) {
    const ParseCase& c = GetParam();
    const ParseResult r = ParseRequest(c.frame);
    EXPECT_EQ(r.error, c.error) << RequestErrorName(r.error);
    if (c.error == RequestError::None) {
        EXPECT_EQ(r.request.station, c.frame[0]);
        EXPECT_EQ(r.request.function, c.function);
        EXPECT_EQ(r.request.address, c.address);
        EXPECT_EQ(r.request.count, c.count);
        EXPECT_EQ(r.request.value, c.value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ParseRequestTest,
    ::testing::Values(
        // 01 03 00 00 00 0A with the well-known CRC 0xCDC5, low byte first.
        ParseCase{"ReadRegisters",
                  {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD},
                  RequestError::None,
                  3,
                  0,
                  10,
                  0},
        ParseCase{"ReadCoils", Crc({0x05, 0x01, 0x12, 0x34, 0x07, 0xD0}), RequestError::None, 1,
                  0x1234, 2000, 0},
        ParseCase{"WriteCoil", Crc({0x05, 0x05, 0x00, 0x07, 0xFF, 0x00}), RequestError::None, 5, 7,
                  0, 0xFF00},
        ParseCase{"WriteRegister", Crc({0x05, 0x06, 0x00, 0x64, 0xFF, 0xFE}), RequestError::None, 6,
                  100, 0, 0xFFFE},
        ParseCase{"UnknownFunctionIsARequest", Crc({0x05, 0x07}), RequestError::None, 7, 0, 0, 0},
        ParseCase{"CrcBytesSwapped",
                  {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xCD, 0xC5},
                  RequestError::BadCrc,
                  0,
                  0,
                  0,
                  0},
        ParseCase{"ThreeBytes", {0x01, 0x03, 0x00}, RequestError::TooShort, 0, 0, 0, 0},
        ParseCase{"Empty", {}, RequestError::TooShort, 0, 0, 0, 0},
        ParseCase{"ReadWithShortBody", Crc({0x01, 0x03, 0x00, 0x00, 0x0A}),
                  RequestError::LengthMismatch, 0, 0, 0, 0},
        ParseCase{"EventInitWithWrongByteCount", Crc({0x01, 0x41, 0x05, 0x00, 0x00, 0x00, 0x10}),
                  RequestError::LengthMismatch, 0, 0, 0, 0},
        ParseCase{"Overlong", std::vector<uint8_t>(257, 0x01), RequestError::TooLong, 0, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseRequest, EventInitCarriesItsCount) {
    // station 1, 0x41, 4 bytes follow: 00 00, count 0x0110 high byte first
    const ParseResult r = ParseRequest(Crc({0x01, 0x41, 0x04, 0x00, 0x00, 0x01, 0x10}));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.request.byteCount, 4);
    EXPECT_EQ(r.request.eventCount, 0x0110);
}

TEST(ParseRequest, TimeSyncCarriesItsEightTimeBytes) {
    // 10:07:05.456 on 24.11.(20)03: ms%100, ms/100, s, min, h, day, month, year%100
    const ParseResult r = ParseRequest(Crc({0x00, 0x46, 0x08, 56, 4, 5, 7, 10, 24, 11, 3}));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.request.time, (std::array<uint8_t, 8>{56, 4, 5, 7, 10, 24, 11, 3}));
}

struct LengthCase {
    std::vector<uint8_t> head;
    std::optional<size_t> length;
};

void PrintTo(const LengthCase& c, std::ostream* os) {
    *os << c.head.size() << "-byte head";
}

class ExpectedLengthTest : public ::testing::TestWithParam<LengthCase> {};

TEST_P(ExpectedLengthTest, KnowsTheFrameLengthFromItsHead) {
    EXPECT_EQ(ExpectedRequestLength(GetParam().head), GetParam().length);
}

INSTANTIATE_TEST_SUITE_P(Heads, ExpectedLengthTest,
                         ::testing::Values(LengthCase{{0x01}, std::nullopt},
                                           LengthCase{{0x01, 0x03}, 8}, LengthCase{{0x01, 0x06}, 8},
                                           LengthCase{{0x01, 0x42}, 4}, LengthCase{{0x01, 0x43}, 4},
                                           LengthCase{{0x01, 0x41}, std::nullopt},
                                           LengthCase{{0x01, 0x41, 0x04}, 9},
                                           LengthCase{{0x00, 0x46, 0x08}, 13},
                                           LengthCase{{0x01, 0x10, 0, 0, 0, 2, 4}, 13},
                                           // Modbus functions H51 does not speak, known only
                                           // by their length: a frame of their own ends there.
                                           LengthCase{{0x01, 0x08}, 8}, LengthCase{{0x01, 0x11}, 4},
                                           LengthCase{{0x01, 0x16}, 10},
                                           LengthCase{{0x01, 0x17, 0, 0, 0, 1, 0, 0, 0, 1, 2}, 15},
                                           LengthCase{{0x01, 0x65, 0x00}, std::nullopt}));

TEST(Framer, CutsTwoFramesThatArriveInOneChunk) {
    Framer framer;
    std::vector<uint8_t> stream = Crc({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A});
    const auto second = Crc({0x02, 0x42});
    stream.insert(stream.end(), second.begin(), second.end());
    framer.Push(stream, Clock::now());
    const auto a = framer.Pop();
    const auto b = framer.Pop();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->bytes.size(), 8u);
    EXPECT_EQ(b->bytes, second);
    EXPECT_FALSE(framer.Pop());
    EXPECT_FALSE(framer.Pending());
}

TEST(Framer, WaitsForTheRestOfAFrameAndKeepsTheFirstByteTime) {
    Framer framer;
    const auto frame = Crc({0x01, 0x41, 0x04, 0x00, 0x00, 0x00, 0x10});
    const auto t0 = Clock::now();
    framer.Push(std::span(frame).first(2), t0);
    EXPECT_FALSE(framer.Pop());
    framer.Push(std::span(frame).subspan(2), t0 + std::chrono::milliseconds(5));
    const auto got = framer.Pop();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, frame);
    EXPECT_EQ(got->firstByte, t0);
}

TEST(Framer, UnknownFunctionEndsAtItsCrcAndGarbageOnlyAtSilence) {
    Framer framer;
    const auto unknown = Crc({0x01, 0x65, 0x01, 0x02});
    framer.Push(unknown, Clock::now());
    EXPECT_EQ(framer.Pop()->bytes, unknown);

    const std::vector<uint8_t> garbage{0x01, 0x65, 0x33};
    framer.Push(garbage, Clock::now());
    EXPECT_FALSE(framer.Pop());
    const auto flushed = framer.Flush();
    ASSERT_TRUE(flushed);
    EXPECT_EQ(flushed->bytes, garbage);
    EXPECT_TRUE(flushed->endedBySilence);
}

} // namespace
} // namespace h51sim
