#include "sim/station.h"

#include <gtest/gtest.h>

#include "sim/event_store.h"
#include "sim/reply.h"
#include "sim/station_clock.h"

namespace h51sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Crc(Bytes frame) {
    AppendCrc(frame);
    return frame;
}

// Station 5: 20 coils, 20 inputs, 10 registers, 10 input registers, 12 event gates.
Station MakeStation() {
    StationConfig c;
    c.address = 5;
    c.coils = 20;
    c.discreteInputs = 20;
    c.holdingRegisters = 10;
    c.inputRegisters = 10;
    c.eventGates = 12;
    c.eventCapacity = 40;
    Station s(c);
    for (uint32_t i = 0; i < 10; ++i) {
        s.SetHoldingRegister(i, static_cast<uint16_t>(0x0100 + i));
        s.SetInputRegister(i, static_cast<uint16_t>(0x0200 + i));
    }
    for (uint32_t i : {0u, 2u, 9u, 19u}) {
        s.SetCoil(i, true);
    }
    s.SetDiscreteInput(1, true);
    return s;
}

// The frame the station puts on the line for a request (both given without CRC).
Bytes Answer(Station& station, const Bytes& request) {
    const ParseResult parsed = ParseRequest(Crc(request));
    EXPECT_TRUE(parsed.ok()) << RequestErrorName(parsed.error);
    return BuildReply(5, station.Execute(parsed.request, false, Station::Steady::now()));
}

struct ReplyCase {
    const char* name;
    Bytes request; ///< without CRC
    Bytes reply;   ///< without CRC; empty for no reply
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class StationReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(StationReplyTest, AnswersAsAModbusSlave) {
    Station station = MakeStation();
    const ReplyCase& c = GetParam();
    EXPECT_EQ(Answer(station, c.request), c.reply.empty() ? Bytes{} : Crc(c.reply));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, StationReplyTest,
    ::testing::Values(
        ReplyCase{"ReadRegisters",
                  {0x05, 0x03, 0x00, 0x01, 0x00, 0x02},        // st, fn, addr 1, count 2
                  {0x05, 0x03, 0x04, 0x01, 0x01, 0x01, 0x02}}, // st, fn, 4 bytes, high first
        ReplyCase{"ReadInputRegisters",
                  {0x05, 0x04, 0x00, 0x09, 0x00, 0x01}, // st, fn, addr 9, count 1
                  {0x05, 0x04, 0x02, 0x02, 0x09}},      // st, fn, 2 bytes: 0x0209
        // Coils 0, 2, 9 set: first value in bit 0 of the first byte; 10 bits in 2 bytes.
        ReplyCase{"ReadCoils",
                  {0x05, 0x01, 0x00, 0x00, 0x00, 0x0A}, // st, fn, addr 0, count 10
                  {0x05, 0x01, 0x02, 0x05, 0x02}},      // st, fn, 2 bytes: coils 0-7, 8-9
        ReplyCase{"ReadInputs",
                  {0x05, 0x02, 0x00, 0x01, 0x00, 0x01}, // st, fn, addr 1, count 1
                  {0x05, 0x02, 0x01, 0x01}},            // st, fn, 1 byte: input 1 on
        ReplyCase{"WriteCoilEchoes",
                  {0x05, 0x05, 0x00, 0x03, 0xFF, 0x00},  // st, fn, addr 3, on
                  {0x05, 0x05, 0x00, 0x03, 0xFF, 0x00}}, // the request, echoed
        ReplyCase{"WriteRegisterEchoes",
                  {0x05, 0x06, 0x00, 0x09, 0xFF, 0xFE},  // st, fn, addr 9, value 0xFFFE
                  {0x05, 0x06, 0x00, 0x09, 0xFF, 0xFE}}, // the request, echoed
        ReplyCase{"CoilValueNeitherOnNorOff",
                  {0x05, 0x05, 0x00, 0x03, 0x12, 0x34}, // st, fn, addr 3, value 0x1234
                  {0x05, 0x85, 0x03}},                  // st, fn | 0x80, illegal data value
        ReplyCase{"CoilPastTheTable",
                  {0x05, 0x05, 0x00, 0x14, 0xFF, 0x00}, // st, fn, addr 20, on
                  {0x05, 0x85, 0x02}},                  // st, fn | 0x80, illegal data address
        ReplyCase{"RegisterPastTheTable",
                  {0x05, 0x06, 0x00, 0x0A, 0x00, 0x01}, // st, fn, addr 10, value 1
                  {0x05, 0x86, 0x02}},                  // st, fn | 0x80, illegal data address
        ReplyCase{"ReadZeroRegisters",
                  {0x05, 0x03, 0x00, 0x00, 0x00, 0x00}, // st, fn, addr 0, count 0
                  {0x05, 0x83, 0x03}},                  // st, fn | 0x80, illegal data value
        ReplyCase{"Read128Registers",
                  {0x05, 0x03, 0x00, 0x00, 0x00, 0x80}, // st, fn, addr 0, count 128
                  {0x05, 0x83, 0x03}},                  // st, fn | 0x80, illegal data value
        ReplyCase{"ReadRegistersOverTheEnd",
                  {0x05, 0x03, 0x00, 0x09, 0x00, 0x02}, // st, fn, addr 9, count 2
                  {0x05, 0x83, 0x02}},                  // st, fn | 0x80, illegal data address
        ReplyCase{"Read2001Bits",
                  {0x05, 0x01, 0x00, 0x00, 0x07, 0xD1}, // st, fn, addr 0, count 2001
                  {0x05, 0x81, 0x03}},                  // st, fn | 0x80, illegal data value
        ReplyCase{"ReadInputsOverTheEnd",
                  {0x05, 0x02, 0x00, 0x13, 0x00, 0x02}, // st, fn, addr 19, count 2
                  {0x05, 0x82, 0x02}},                  // st, fn | 0x80, illegal data address
        ReplyCase{"UnknownFunction",
                  {0x05, 0x07},        // st, fn 07
                  {0x05, 0x87, 0x01}}, // st, fn | 0x80, illegal function
        ReplyCase{"EventInitWithOtherCount",
                  {0x05, 0x41, 0x04, 0x00, 0x00, 0x00, 0x0B}, // st, fn, 4 bytes: 11 events
                  {0x05, 0xC1, 0x02}},                        // st, fn | 0x80, count conflict
        ReplyCase{"EventInitAllOff",                          // 12 gates: 2 bytes of bitmap
                  {0x05, 0x41, 0x04, 0x00, 0x00, 0x00, 0x0C}, // st, fn, 4 bytes: 12 events
                  {0x05, 0x41, 0x02, 0x00, 0x00}},            // st, fn, 2 bytes: all off
        ReplyCase{"EventNextOnEmptyBuffer",
                  {0x05, 0x42},        // st, fn
                  {0x05, 0x42, 0x00}}, // st, fn, 0 bytes: no record
        ReplyCase{"EventRepeatWithoutBlock",
                  {0x05, 0x43},        // st, fn
                  {0x05, 0xC3, 0x02}}, // st, fn | 0x80, no block to repeat
        ReplyCase{"TimeSyncToOneStationIsNotAnswered",
                  // st, fn, 8 bytes: ms % 100, ms / 100, second, minute, hour, day, month, year
                  {0x05, 0x46, 0x08, 56, 4, 5, 7, 10, 24, 11, 3},
                  {}}), // no reply
    [](const auto& info) { return std::string(info.param.name); });

TEST(Station, LargestReadsFit) {
    StationConfig c;
    c.address = 5;
    Station station(c);
    // st, fn 01, addr 0, count 2000: 250 bytes of bits
    EXPECT_EQ(Answer(station, {0x05, 0x01, 0x00, 0x00, 0x07, 0xD0}).size(), 5u + 250u);
    // st, fn 03, addr 0, count 127: 254 bytes of registers
    EXPECT_EQ(Answer(station, {0x05, 0x03, 0x00, 0x00, 0x00, 0x7F}).size(), 5u + 254u);
}

TEST(Station, WritesLandInTheTables) {
    Station station = MakeStation();
    Answer(station, {0x05, 0x05, 0x00, 0x00, 0x00, 0x00}); // st, fn, addr 0, off
    Answer(station, {0x05, 0x06, 0x00, 0x04, 0xAB, 0xCD}); // st, fn, addr 4, value 0xABCD
    EXPECT_EQ(station.Coil(0), false);
    EXPECT_EQ(station.HoldingRegister(4), 0xABCD);
}

TEST(Station, BroadcastWritesAndTimeSyncActWithoutReply) {
    Station station = MakeStation();
    const auto t0 = Station::Steady::now();
    // st 0, fn 06, addr 2, value 0x1234; st 0, fn 46, 8 bytes: 2003-11-24 10:07:05.456
    for (const Bytes& frame : {Bytes{0x00, 0x06, 0x00, 0x02, 0x12, 0x34},
                               Bytes{0x00, 0x46, 0x08, 56, 4, 5, 7, 10, 24, 11, 3}}) {
        const ParseResult p = ParseRequest(Crc(frame));
        ASSERT_TRUE(p.ok());
        EXPECT_EQ(station.Execute(p.request, true, t0).kind, Response::Kind::None);
    }
    EXPECT_EQ(station.HoldingRegister(2), 0x1234);
    EXPECT_EQ(station.ClockRef().Now(t0), (StationTime{2003, 11, 24, 10, 7, 5, 456}));
}

TEST(Station, EventInitGivesTheStateBitmapAndEmptiesTheBuffer) {
    Station station = MakeStation();
    const auto now = Station::Steady::now();
    ASSERT_TRUE(station.GenerateEvent(0, true, now));
    ASSERT_TRUE(station.GenerateEvent(2, true, now));
    ASSERT_TRUE(station.GenerateEvent(11, true, now));
    EXPECT_FALSE(station.GenerateEvent(12, true, now)); // no such gate
    // Events 0 and 2 in byte 0 (0x05), event 11 in bit 3 of byte 1 (0x08).
    EXPECT_EQ(Answer(station, {0x05, 0x41, 0x04, 0x00, 0x00, 0x00, 0x0C}), // st, fn, 12 events
              Crc({0x05, 0x41, 0x02, 0x05, 0x08})); // st, fn, 2 bytes of bitmap
    EXPECT_EQ(station.Events().Buffered(), 0u);
}

TEST(EventStore, RecordLayoutOnTheWire) {
    const EventRecord r{0x0123, 1, StationTime{2003, 11, 24, 10, 7, 5, 456}};
    // number low, number high, value, ms%100, ms/100, second, minute, hour
    EXPECT_EQ(EncodeEventRecord(r), (std::array<uint8_t, 8>{0x23, 0x01, 1, 56, 4, 5, 7, 10}));
}

TEST(EventStore, BlocksHoldAtMost31RecordsOldestFirst) {
    EventStore store(100, 100);
    for (uint16_t i = 0; i < 40; ++i) {
        store.Record(i, true, StationTime{});
    }
    const auto first = store.NextBlock();
    ASSERT_EQ(first.size(), 31u * 8);
    EXPECT_EQ(first[0], 0);
    EXPECT_EQ(first[30 * 8], 30);
    EXPECT_EQ(store.LastBlock(), first);
    const auto second = store.NextBlock();
    ASSERT_EQ(second.size(), 9u * 8);
    EXPECT_EQ(second[0], 31);
    EXPECT_TRUE(store.NextBlock().empty());
    EXPECT_EQ(store.LastBlock(), std::vector<uint8_t>{}); // an empty block is a block too
}

TEST(EventStore, OverflowMarksEveryBlockUntilInitialised) {
    EventStore store(8, 3);
    for (uint16_t i = 0; i < 5; ++i) {
        const auto outcome = store.Record(i, true, StationTime{});
        EXPECT_EQ(outcome, i < 3 ? EventStore::Outcome::Buffered : EventStore::Outcome::Lost);
    }
    EXPECT_TRUE(store.State(4)); // a lost change still changes the state
    const auto block = store.NextBlock();
    ASSERT_EQ(block.size(), 3u * 8 + 2);
    EXPECT_EQ(block[24], 0xFF);
    EXPECT_EQ(block[25], 0xFF);
    EXPECT_EQ(store.NextBlock(), (std::vector<uint8_t>{0xFF, 0xFF})); // the marker alone
    store.Initialise();
    EXPECT_FALSE(store.Overflow());
    EXPECT_FALSE(store.LastBlock());
    EXPECT_TRUE(store.NextBlock().empty());
}

struct SyncCase {
    std::array<uint8_t, 8> bytes;
    std::optional<StationTime> time;
};

void PrintTo(const SyncCase& c, std::ostream* os) {
    *os << (c.time ? c.time->ToString() : std::string("invalid"));
}

class TimeSyncBytesTest : public ::testing::TestWithParam<SyncCase> {};

TEST_P(TimeSyncBytesTest, DecodesOrRefuses) {
    EXPECT_EQ(TimeFromSyncBytes(GetParam().bytes), GetParam().time);
}

INSTANTIATE_TEST_SUITE_P(
    Times, TimeSyncBytesTest,
    ::testing::Values(
        SyncCase{{56, 4, 5, 7, 10, 24, 11, 3}, StationTime{2003, 11, 24, 10, 7, 5, 456}},
        SyncCase{{99, 9, 59, 59, 23, 29, 2, 24}, StationTime{2024, 2, 29, 23, 59, 59, 999}},
        SyncCase{{0, 0, 0, 0, 0, 29, 2, 23}, std::nullopt},   // no 29 February in 2023
        SyncCase{{100, 0, 0, 0, 0, 1, 1, 0}, std::nullopt},   // ms%100 of 100
        SyncCase{{0, 10, 0, 0, 0, 1, 1, 0}, std::nullopt},    // ms/100 of 10
        SyncCase{{0, 0, 60, 0, 0, 1, 1, 0}, std::nullopt},    // second 60
        SyncCase{{0, 0, 0, 0, 24, 1, 1, 0}, std::nullopt},    // hour 24
        SyncCase{{0, 0, 0, 0, 0, 1, 13, 0}, std::nullopt},    // month 13
        SyncCase{{0, 0, 0, 0, 0, 0, 1, 0}, std::nullopt},     // day 0
        SyncCase{{0, 0, 0, 0, 0, 1, 1, 100}, std::nullopt})); // year%100 of 100

TEST(StationClock, RunsOnFromWhenItWasSetAcrossMidnight) {
    const auto t0 = StationClock::Steady::now();
    StationClock clock(StationTime{2023, 12, 31, 23, 59, 59, 500}, t0);
    EXPECT_EQ(clock.Now(t0 + std::chrono::milliseconds(1234)),
              (StationTime{2024, 1, 1, 0, 0, 0, 734}));
}

} // namespace
} // namespace h51sim
