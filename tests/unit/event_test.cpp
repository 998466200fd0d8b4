// Event collection: request choice by the station's flags, delivery with time stamps,
// alerts, overflow and the recoveries from bad replies.
#include "gates/address_parser.h"
#include "services/host_log.h"
#include "services/instance_table.h"
#include "test_support.h"
#include "transactions/event_delivery.h"

namespace merix::test {
namespace {

Frame Record(uint16_t event, uint8_t value, int millis, int second, int minute, int hour) {
    return {static_cast<uint8_t>(event & 0xFF),
            static_cast<uint8_t>(event >> 8),
            value,
            static_cast<uint8_t>(millis % 100),
            static_cast<uint8_t>(millis / 100),
            static_cast<uint8_t>(second),
            static_cast<uint8_t>(minute),
            static_cast<uint8_t>(hour)};
}

Frame Block(uint8_t station, uint8_t function, const std::vector<Frame>& records, Frame tail = {}) {
    Frame frame{station, function, 0};
    for (const auto& r : records) {
        frame.insert(frame.end(), r.begin(), r.end());
    }
    frame.insert(frame.end(), tail.begin(), tail.end());
    frame[2] = static_cast<uint8_t>(frame.size() - 3);
    return WithCrc(frame);
}

// Station 5's answer to the set-up: a bitmap of two bytes, every event clear.
const Frame kSetUpNoneSet = WithCrc({0x05,         // station
                                     0x41,         // event init
                                     0x02,         // byte count
                                     0x00, 0x00}); // events 0 to 15 clear

// The overflow marker, behind the records of a block.
const Frame kOverflowMarker{0xFF, 0xFF};

// Station 5 refuses a poll: busy, it keeps its block.
const Frame kPollRefused = WithCrc({0x05,   // station
                                    0xC2,   // event next block, exception bit
                                    0x06}); // exception 6: busy

int32_t Stamp(int year, int month, int day, int hour, int minute, int second) {
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return static_cast<int32_t>(mktime(&t));
}

/// A time on a day of December 2026.
int32_t Seconds(int day, int hour, int minute, int second) {
    return Stamp(2026, 12, day, hour, minute, second);
}

class EventTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        for (int e = 0; e < 10; ++e) {
            char text[16];
            std::snprintf(text, sizeof text, "E05%04d", e);
            qorlib::DefineGate(text, 1);
        }
        qorlib::DefineGate("E050000", 2);  // another instance's gate: not counted
        qorlib::DefineGate("E060000", 1);  // another station's
        qorlib::DefineGate("01300100", 1); // not an event gate
        fake::SetNow(plat::LocalTime{2026, 12, 8, 10, 0, 0, 0, -1});
        ColdStart();
        fake::ClearCalls();
        qorlib::ClearLog();
    }

    int32_t Poll() { return Call(kSingleRead, &gate.rec); }
    /// The function byte of the n-th request of this test.
    static uint8_t Sent(size_t n) { return fake::Written().at(n).at(1); }
    /// Brings station 5 into polling: set-up request answered with an all-zero bitmap.
    void Initialise() {
        fake::QueueReply(kSetUpNoneSet);
        ASSERT_EQ(Poll(), 0);
        fake::ClearWritten();
        fake::SetNow(plat::LocalTime{2026, 12, 8, 10, 0, 0, 0, -1});
        qorlib::ClearHistory();
        qorlib::ClearLog();
    }
    std::vector<double> Values(const char* address) {
        std::vector<double> out;
        for (const auto& v : qorlib::History(address, 1)) {
            out.push_back(v.value);
        }
        return out;
    }

    AccessGate gate{"$EVENT", 5, 3, 0xFFFD};
};

TEST_F(EventTest, FirstReadSetsUpWithTheHostsCountAndDeliversTheStates) {
    fake::QueueReply(WithCrc({0x05,          // station
                              0x41,          // event init
                              0x02,          // byte count
                              0x05, 0x02})); // events 0, 2 and 9 set
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(fake::Written()[0], WithCrc({0x05,                      // station
                                           0x41,                      // event init
                                           0x04,                      // byte count
                                           0x00, 0x00, 0x00, 0x0A})); // ten event gates, high
                                                                      // byte first
    EXPECT_TRUE(qorlib::Logged("BuildEventRequest() 10 events found for PLC 5,Vpi 1", 0));
    EXPECT_EQ(Values("E050000"), std::vector<double>{1});
    EXPECT_EQ(Values("E050001"), std::vector<double>{0});
    EXPECT_EQ(Values("E050002"), std::vector<double>{1});
    EXPECT_EQ(Values("E050009"), std::vector<double>{1});
    EXPECT_EQ(host->fEF[5], 0u);
    EXPECT_EQ(gate.Word(), 0);

    fake::QueueReply(Block(5, 0x42, {}));
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Sent(1), 0x42);
    EXPECT_EQ(host->fReadEvent, 0u);
}

TEST_F(EventTest, BlockDeliversEachRecordWithItsOwnTimeStamp) {
    Initialise();
    fake::QueueReply(Block(5, 0x42, {Record(3, 1, 645, 58, 59, 9), Record(7, 0, 12, 1, 0, 10)}));
    EXPECT_EQ(Poll(), 0);
    const auto first = qorlib::History("E050003", 1);
    const auto second = qorlib::History("E050007", 1);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].value, 1);
    EXPECT_EQ(first[0].seconds, Seconds(8, 9, 59, 58));
    EXPECT_EQ(first[0].millis, 645);
    EXPECT_EQ(second[0].seconds, Seconds(8, 10, 0, 1));
    EXPECT_EQ(second[0].millis, 12);
}

// Central European time with its daylight saving, so that the table does not depend on the
// machine's zone. The C runtime of Windows knows no transition rules and keeps the US ones;
// the rows below have the same answer either way.
class CentralEuropeanTime {
public:
    CentralEuropeanTime() {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        old_ = had_ ? old : "";
        SetZone("CET-1CEST,M3.5.0,M10.5.0/3");
    }
    ~CentralEuropeanTime() { SetZone(had_ ? old_.c_str() : nullptr); }
    CentralEuropeanTime(const CentralEuropeanTime&) = delete;
    CentralEuropeanTime& operator=(const CentralEuropeanTime&) = delete;

private:
    static void SetZone(const char* zone) {
#ifdef _WIN32
        _putenv_s("TZ", zone != nullptr ? zone : "");
        _tzset();
#else
        if (zone != nullptr) {
            setenv("TZ", zone, 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
#endif
    }
    bool had_ = false;
    std::string old_;
};

TEST_F(EventTest, StampIsDatedWithinTwentyTwoHoursBehindAndTwoAhead) {
    const CentralEuropeanTime zone;
    struct Case {
        const char* what;
        plat::LocalTime now;
        int hour, minute, second;
        int year, month, day; // the date the stamp gets
    };
    const Case cases[] = {
        {"13 h late (outage)", {2026, 12, 8, 14, 0, 0, 0, -1}, 1, 0, 0, 2026, 12, 8},
        {"20 h late", {2026, 12, 8, 14, 0, 0, 0, -1}, 18, 0, 0, 2026, 12, 7},
        {"controller 30 min ahead", {2026, 12, 8, 14, 0, 0, 0, -1}, 14, 30, 0, 2026, 12, 8},
        {"2 h ahead: last second", {2026, 12, 8, 14, 0, 0, 0, -1}, 16, 0, 0, 2026, 12, 8},
        {"2 h 1 s ahead: yesterday", {2026, 12, 8, 14, 0, 0, 0, -1}, 16, 0, 1, 2026, 12, 7},
        {"before midnight, late", {2026, 12, 8, 0, 0, 5, 0, -1}, 23, 59, 58, 2026, 12, 7},
        {"just after midnight", {2026, 12, 8, 0, 0, 5, 0, -1}, 0, 0, 4, 2026, 12, 8},
        {"clock ahead past midnight", {2026, 1, 31, 23, 59, 50, 0, -1}, 0, 0, 3, 2026, 2, 1},
        {"1.5 h ahead past midnight", {2026, 12, 8, 23, 30, 0, 0, -1}, 1, 0, 0, 2026, 12, 9},
        {"21.5 h late", {2026, 12, 8, 23, 30, 0, 0, -1}, 2, 0, 0, 2026, 12, 8},
        {"month end", {2026, 3, 1, 0, 0, 2, 0, -1}, 23, 59, 59, 2026, 2, 28},
        {"year end, clock ahead", {2026, 12, 31, 23, 59, 50, 0, -1}, 0, 0, 3, 2027, 1, 1},
        {"year end, late", {2027, 1, 1, 0, 0, 2, 0, -1}, 23, 59, 59, 2026, 12, 31},
        {"29 February, clock ahead", {2028, 2, 28, 23, 59, 55, 0, -1}, 0, 0, 1, 2028, 2, 29},
        {"29 February, late", {2028, 3, 1, 0, 0, 2, 0, -1}, 23, 59, 59, 2028, 2, 29},
        {"29 February, 14 h late", {2028, 3, 1, 10, 0, 0, 0, -1}, 20, 0, 0, 2028, 2, 29},
        {"DST start, 45 min ahead", {2026, 3, 29, 1, 30, 0, 0, -1}, 3, 15, 0, 2026, 3, 29},
        {"DST start, 15 h late", {2026, 3, 29, 12, 0, 0, 0, -1}, 20, 0, 0, 2026, 3, 28},
        {"DST start, 9.5 h late", {2026, 3, 29, 12, 0, 0, 0, -1}, 1, 30, 0, 2026, 3, 29},
        {"DST end, 1 h ahead", {2026, 10, 25, 12, 0, 0, 0, -1}, 13, 0, 0, 2026, 10, 25},
        {"DST end, 22.5 h late", {2026, 10, 25, 12, 0, 0, 0, -1}, 14, 30, 0, 2026, 10, 24},
        {"DST end, 21 h late", {2026, 10, 25, 12, 0, 0, 0, -1}, 16, 0, 0, 2026, 10, 24},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EventTime(c.now, c.hour, c.minute, c.second),
                  Stamp(c.year, c.month, c.day, c.hour, c.minute, c.second))
            << c.what;
    }
}

TEST_F(EventTest, DeliveredStampIsDatedAcrossTheYearEnd) {
    Initialise();
    fake::SetNow(plat::LocalTime{2026, 12, 31, 23, 59, 50, 0, -1});
    fake::QueueReply(Block(5, 0x42, {Record(3, 1, 250, 3, 0, 0)}));
    EXPECT_EQ(Poll(), 0);
    const auto got = qorlib::History("E050003", 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].seconds, Stamp(2027, 1, 1, 0, 0, 3)) << "not almost a day in the past";
}

TEST_F(EventTest, IllegalRecordsStopTheDeliveryAfterTheGoodOnes) {
    Initialise();
    fake::QueueReply(
        Block(5, 0x42,
              {Record(1, 1, 0, 0, 0, 10), Record(2, 2, 0, 0, 0, 10), Record(3, 1, 0, 0, 0, 10)}));
    EXPECT_EQ(Poll(), 1);
    EXPECT_EQ(Values("E050001"), std::vector<double>{1});
    EXPECT_TRUE(Values("E050003").empty());
    EXPECT_TRUE(qorlib::Logged("MERIX> In Read Event, got illegal value 2", kLogDetail));
    EXPECT_EQ(host->fReadEvent, 1u);

    qorlib::DefineGate("E052047", 1);
    fake::QueueReply(Block(5, 0x42, {Record(2047, 1, 0, 0, 0, 10), Record(2048, 1, 0, 0, 0, 10)}));
    EXPECT_EQ(Poll(), 1);
    EXPECT_EQ(Values("E052047"), std::vector<double>{1}) << "the highest event number";
    EXPECT_TRUE(qorlib::Logged("MERIX> In Read Event, got illegal event num 2048", kLogError));
}

TEST_F(EventTest, PartialRecordIsLoggedAndNotRead) {
    Initialise();
    Frame tail{0x04, 0x00, // event 4
               0x01};      // = 1, and the record ends there
    fake::QueueReply(Block(5, 0x42, {Record(1, 1, 0, 0, 0, 10)}, tail));
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Values("E050001"), std::vector<double>{1});
    EXPECT_TRUE(Values("E050004").empty());
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadEvent() block of 11 bytes ends in a partial record of "
                               "3 bytes (PLC 5), not delivered"));
}

TEST_F(EventTest, MissingGateIsSkipped) {
    Initialise();
    qorlib::DeleteGate("E050004", 1);
    fake::QueueReply(Block(5, 0x42, {Record(4, 1, 0, 0, 0, 10), Record(5, 1, 0, 0, 0, 10)}));
    EXPECT_EQ(Poll(), 0);
    EXPECT_TRUE(qorlib::Logged("MERIX> Missing event gate E050004"));
    EXPECT_EQ(Values("E050005"), std::vector<double>{1});
}

TEST_F(EventTest, ShortBitmapSetsTheEventsWhoseBitsArrived) {
    fake::QueueReply(WithCrc({0x05,    // station
                              0x41,    // event init
                              0x01,    // byte count
                              0xFF})); // events 0 to 7 set: 8 of 10 events
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Values("E050007"), std::vector<double>{1});
    EXPECT_TRUE(Values("E050008").empty());
    EXPECT_TRUE(qorlib::Logged(
        "MERIX> Update_Events() bitmap of 1 bytes holds 8 of 10 events of PLC 5", kLogError));
    EXPECT_EQ(host->fEF[5], 0u);
}

TEST_F(EventTest, CountConflictRaisesOneAlertUntilTheConfigurationMatches) {
    const Frame conflict = WithCrc({0x05,   // station
                                    0xC1,   // event init, exception bit
                                    0x02}); // exception 2: the count differs from the station's
    fake::QueueReply(conflict);
    fake::QueueReply(conflict);
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Sent(1), 0x41) << "the set-up is repeated";
    ASSERT_EQ(qorlib::OpenAlerts().size(), 1u);
    EXPECT_EQ(qorlib::OpenAlerts()[0].alertClass, "EVT_ERR");
    EXPECT_EQ(qorlib::OpenAlerts()[0].text, "Num of Evts conflict with PLC  5 Configuration");
    EXPECT_EQ(fake::CallsStartingWith("Beep").size(), 1u);

    fake::QueueReply(WithCrc({0x05,          // station
                              0x41,          // event init
                              0x02,          // byte count
                              0x01, 0x00})); // event 0 set
    EXPECT_EQ(Poll(), 0);
    EXPECT_TRUE(qorlib::OpenAlerts().empty());
    EXPECT_TRUE(qorlib::Logged("MERIX> Update_Events() Num of Evts conflict with PLC 5 solved"));
    EXPECT_EQ(host->evtConflictAlert[5], kNoAlert);
    EXPECT_EQ(Values("E050000"), std::vector<double>{1});
}

TEST_F(EventTest, CorruptedBlockIsCollectedAgainWithARepeat) {
    Initialise();
    Frame corrupted = Block(5, 0x42, {Record(1, 1, 0, 0, 0, 10)});
    corrupted.back() ^= 0xFF;
    fake::QueueReply(corrupted);
    fake::QueueReply(Block(5, 0x43, {Record(1, 1, 0, 0, 0, 10)}));
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Sent(0), 0x42);
    EXPECT_EQ(Sent(1), 0x43) << "the block the controller already gave away is asked again";
    EXPECT_EQ(Values("E050001"), std::vector<double>{1});
    EXPECT_EQ(host->fRE[5], 0u);

    fake::QueueReply(Block(5, 0x42, {Record(2, 1, 0, 0, 0, 10)}));
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Sent(2), 0x42) << "and not a second time";
    EXPECT_EQ(Values("E050001"), std::vector<double>{1});
}

TEST_F(EventTest, FailedReceiveMakesEveryNextAttemptARepeat) {
    Initialise();
    fake::QueueSilence();
    fake::QueueSilence();
    fake::QueueReply(Block(5, 0x43, {Record(1, 1, 0, 0, 0, 10)}));
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Sent(0), 0x42);
    EXPECT_EQ(Sent(1), 0x43);
    EXPECT_EQ(Sent(2), 0x43);
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadEvent() Receive : fEF=NO set fRE"));
    EXPECT_EQ(Values("E050001"), std::vector<double>{1});
}

// Blocks A and B as the poll brings them, and what a repeat may bring in their place.
const Frame kBlockA = Block(5, 0x42, {Record(1, 1, 0, 0, 0, 10), Record(3, 1, 0, 0, 0, 10)});
const Frame kBlockB = Block(5, 0x42, {Record(2, 1, 0, 0, 0, 10)});
const Frame kRepeatA = Block(5, 0x43, {Record(1, 1, 0, 0, 0, 10), Record(3, 1, 0, 0, 0, 10)});
const Frame kRepeatB = Block(5, 0x43, {Record(2, 1, 0, 0, 0, 10)});
// A new block that begins with the bytes of the last one delivered: new all the same.
const Frame kRepeatShorter = Block(5, 0x43, {Record(1, 1, 0, 0, 0, 10)});
// One that differs from it in its last byte alone: the last record's hour.
const Frame kRepeatLastByte =
    Block(5, 0x43, {Record(1, 1, 0, 0, 0, 10), Record(3, 1, 0, 0, 0, 11)});

struct RepeatCase {
    const char* what;
    const Frame* first; // nullptr: no reply
    const Frame* repeat;
    bool recognised; // the repeat brought the block delivered before
    std::vector<double> e1, e2;
};

const RepeatCase kRepeatCases[] = {
    {"poll lost on its way: the repeat brings A again", nullptr, &kRepeatA, true, {1}, {}},
    {"poll refused: the repeat brings A again", &kPollRefused, &kRepeatA, true, {1}, {}},
    {"reply lost: the repeat brings B", nullptr, &kRepeatB, false, {1}, {1}},
    {"reply lost: the repeat brings a shorter block", nullptr, &kRepeatShorter, false, {1, 1}, {}},
    {"reply lost: the repeat differs in the last byte",
     nullptr,
     &kRepeatLastByte,
     false,
     {1, 1},
     {}},
};

TEST_F(EventTest, RepeatDeliversABlockOnceWhateverWentWrongBeforeIt) {
    for (const RepeatCase& c : kRepeatCases) {
        host->fEF[5] = 1;
        Initialise();
        fake::QueueReply(kBlockA);
        ASSERT_EQ(Poll(), 0) << c.what;
        if (c.first == nullptr) {
            fake::QueueSilence();
        } else {
            fake::QueueReply(*c.first);
        }
        fake::QueueReply(*c.repeat);
        EXPECT_EQ(Poll(), 0) << c.what;
        EXPECT_EQ(Sent(2), 0x43) << c.what;
        EXPECT_EQ(Values("E050001"), c.e1) << c.what;
        EXPECT_EQ(Values("E050002"), c.e2) << c.what;
        EXPECT_EQ(host->fReadEvent, 0u) << c.what;
        EXPECT_EQ(qorlib::Logged("MERIX> ReadEvent() repeat brought the block of 16 bytes already "
                                 "delivered (PLC 5): not delivered again",
                                 kLogDetail),
                  c.recognised)
            << c.what;

        fake::QueueReply(kBlockB);
        EXPECT_EQ(Poll(), 0) << c.what;
        EXPECT_EQ(Sent(3), 0x42) << c.what;
        EXPECT_EQ(Values("E050002"), (std::vector<double>(c.e2.size() + 1, 1))) << c.what;
    }
}

TEST_F(EventTest, BlockAfterASetUpIsNewEvenWithTheBytesOfTheLastOne) {
    const std::vector<Frame> records{Record(1, 1, 0, 0, 0, 10)}; // a coarse controller clock
    Initialise();
    fake::QueueReply(Block(5, 0x42, records));
    ASSERT_EQ(Poll(), 0);
    host->fEF[5] = 1; // a WarmStart, a switch-on or an overflow asks for the set-up
    Initialise();
    fake::QueueSilence(); // the poll reached the controller, its reply did not come back
    fake::QueueReply(Block(5, 0x43, records));
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Sent(1), 0x43);
    EXPECT_EQ(Values("E050001"), std::vector<double>{1}) << "the set-up emptied the buffer";
}

TEST_F(EventTest, ReadThatFailsForGoodLeavesItsRepeatToTheNextRead) {
    Initialise();
    EXPECT_EQ(Poll(), 2);
    EXPECT_EQ(host->fRE[5], 1u) << "the first poll may have taken a block off the controller";
    fake::QueueReply(Block(5, 0x43, {Record(1, 1, 0, 0, 0, 10)}));
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Sent(5), 0x43);
    EXPECT_EQ(Values("E050001"), std::vector<double>{1});

    EXPECT_EQ(Poll(), 2);
    host->plcState[5] = kInError;
    StationArg arg{5};
    Call(kWarmStart, &arg);
    fake::QueueReply(kSetUpNoneSet);
    fake::QueueReply(Block(5, 0x42, {}));
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Sent(12), 0x42) << "the set-up emptied the buffer: nothing to repeat";
}

TEST_F(EventTest, EveryLineOfABusyHostDeliversEachBlockOnce) {
    // Multi-port cards carry dozens of lines: every instance the table serves keeps the memory
    // of its last block, polled in turn. One more than it serves is told, and opens no port:
    // nothing could close it. The fixture's own instance takes one place.
    constexpr uint32_t kLines = kMaxInstances;
    constexpr uint32_t kFirst = 3; // instance 2 has a gate of station 5 of its own
    std::vector<HostContext> lines(kLines);
    auto on = [&](uint32_t i, uint32_t command, void* params) {
        CallBlock cb{lines[i].ctx.get(), command, kFirst + i, 0, params};
        return VpiMain(&cb);
    };
    StartParams sp{};
    sp.comOn = 1;
    sp.replyTimeout = 20;
    sp.baud = 9600;
    sp.dataBits = 8;
    sp.parity = 2;
    constexpr uint32_t kServed = kLines - 1;
    for (uint32_t i = 0; i < kLines; ++i) {
        qorlib::DefineGate("E050001", kFirst + i);
        std::snprintf(sp.portName, sizeof sp.portName, "COM%u", kFirst + i); // a port each
        ASSERT_EQ(on(i, kColdStart, &sp), 0);
        if (i < kServed) {
            fake::QueueReply(WithCrc({0x05,    // station
                                      0x41,    // event init
                                      0x01,    // byte count
                                      0x00})); // no event set
            ASSERT_EQ(on(i, kSingleRead, &gate.rec), 0);
        }
    }
    EXPECT_EQ(lines[kServed]->hf, 0u);
    EXPECT_EQ(fake::OpenHandles(), static_cast<int>(kServed) + 1) << "and the fixture's";
    for (uint32_t i = 0; i < kServed; ++i) {
        fake::QueueReply(Block(5, 0x42, {Record(1, 1, 0, 0, 0, 10)}));
        ASSERT_EQ(on(i, kSingleRead, &gate.rec), 0);
    }
    for (uint32_t i = 0; i < kServed; ++i) {
        fake::QueueSilence(); // the next poll is lost on its way
        fake::QueueReply(Block(5, 0x43, {Record(1, 1, 0, 0, 0, 10)}));
        ASSERT_EQ(on(i, kSingleRead, &gate.rec), 0);
    }
    for (uint32_t i = 0; i < kServed; ++i) {
        EXPECT_EQ(qorlib::History("E050001", kFirst + i).size(), 1u) << "instance " << kFirst + i;
    }
    int told = 0;
    for (const auto& line : qorlib::Log()) {
        told += line.level == kLogError &&
                line.text.find("MERIX> ColdStart() no memory") != std::string::npos;
    }
    EXPECT_EQ(told, 1) << "one line for the instance without room";
}

TEST_F(EventTest, BadReplyToTheLastPollLeavesARepeatForTheNextRead) {
    Frame corrupted = Block(5, 0x42, {Record(1, 1, 0, 0, 0, 10)});
    corrupted.back() ^= 0xFF;
    for (const Frame* last : {static_cast<const Frame*>(&corrupted), &kPollRefused}) {
        host->fEF[5] = 1;
        Initialise();
        fake::FailNext("WriteFile", 4); // the first four tries never leave: the fifth is a poll
        fake::QueueReply(*last);
        EXPECT_EQ(Poll(), 2);
        EXPECT_EQ(Sent(0), 0x42);
        EXPECT_EQ(host->fRE[5], 1u) << "the controller may have given its block away";
        fake::QueueReply(Block(5, 0x43, {Record(1, 1, 0, 0, 0, 10)}));
        EXPECT_EQ(Poll(), 0);
        EXPECT_EQ(Sent(1), 0x43);
    }
}

TEST_F(EventTest, RefusedRepeatEndsTheReadWith0) {
    Initialise();
    fake::QueueReply(kBlockA);
    ASSERT_EQ(Poll(), 0);
    host->fRE[5] = 1;
    fake::QueueReply(WithCrc({0x05,    // station
                              0xC3,    // event repeat block, exception bit
                              0x02})); // exception 2: no block to repeat
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Sent(1), 0x43);
    EXPECT_EQ(host->fRE[5], 0u);
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadEvent() ANL rp1 : Received C3"));
    // The refusal is no block: the one delivered before is still known as delivered.
    host->fRE[5] = 1;
    fake::QueueReply(kRepeatA);
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Values("E050001"), std::vector<double>{1});
}

// Its function byte is taken at its word even when its CRC is bad: one request, and done.
TEST_F(EventTest, DamagedRefusalOfARepeatEndsTheReadWith0) {
    Initialise();
    host->fRE[5] = 1;
    Frame refusal = WithCrc({0x05, 0xC3, 0x02});
    refusal.back() ^= 0xFF;
    fake::QueueReply(refusal);
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(fake::Written().size(), 1u);
    EXPECT_EQ(host->fRE[5], 0u);
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadEvent() CRC ANL rp1 : Received C3"));
}

TEST_F(EventTest, OverflowRaisesTheAlertReinitialisesAndEndsIt) {
    Initialise();
    fake::QueueReply(Block(5, 0x42, {Record(1, 1, 0, 0, 0, 10)}, kOverflowMarker));
    EXPECT_EQ(Poll(), 1);
    EXPECT_EQ(fake::Written().size(), 2u) << "one extra poll whose reply is thrown away";
    ASSERT_EQ(qorlib::OpenAlerts().size(), 1u);
    EXPECT_EQ(qorlib::OpenAlerts()[0].alertClass, "OVF");
    EXPECT_EQ(qorlib::OpenAlerts()[0].text, "Overflow of event buffer Station Number 05");
    EXPECT_TRUE(Values("E050001").empty()) << "the marked block is not decoded";
    EXPECT_EQ(host->ovfPending[5], 1u);

    fake::QueueReply(kSetUpNoneSet);
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Sent(2), 0x41);
    EXPECT_EQ(host->ovfPending[5], 0u);

    fake::QueueReply(Block(5, 0x42, {Record(6, 1, 0, 0, 0, 10)}));
    EXPECT_EQ(Poll(), 0);
    EXPECT_TRUE(qorlib::OpenAlerts().empty());
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadEvent() Buffer overflow ended for PLC 5"));
    EXPECT_EQ(Values("E050006"), (std::vector<double>{0, 1})) << "state at set-up, then the event";
}

TEST_F(EventTest, OneTrailing0xFFIsNoOverflowMarker) {
    for (const Frame& tail : {Frame{0xFF, 0x00},    // half a marker, then a zero
                              Frame{0x00, 0xFF}}) { // a zero, then half a marker
        host->fEF[5] = 1;
        Initialise();
        fake::QueueReply(Block(5, 0x42, {Record(1, 1, 0, 0, 0, 10)}, tail));
        EXPECT_EQ(Poll(), 0);
        EXPECT_TRUE(qorlib::OpenAlerts().empty());
        EXPECT_EQ(Values("E050001"), std::vector<double>{1});
    }
}

TEST_F(EventTest, MarkedBlockWhileTheAlertIsOpenIsDecodedWithoutAPartialRecord) {
    Initialise();
    fake::QueueReply(Block(5, 0x42, {}, kOverflowMarker));
    EXPECT_EQ(Poll(), 1);
    fake::QueueReply(kSetUpNoneSet);
    EXPECT_EQ(Poll(), 0);
    ASSERT_EQ(qorlib::OpenAlerts().size(), 1u);
    qorlib::ClearLog();

    fake::QueueReply(Block(5, 0x42, {Record(6, 1, 0, 0, 0, 10)}, kOverflowMarker));
    EXPECT_EQ(Poll(), 0);
    EXPECT_TRUE(qorlib::OpenAlerts().empty());
    EXPECT_EQ(Values("E050006"), (std::vector<double>{0, 1}));
    for (const auto& line : qorlib::Log()) {
        EXPECT_NE(line.level, kLogError) << line.text;
    }
}

TEST_F(EventTest, WrongRepliesAreRetriedThirteenTimes) {
    Initialise();
    for (int i = 0; i < 20; ++i) {
        fake::QueueReply(Block(6, 0x42, {}));
    }
    EXPECT_EQ(Poll(), 2);
    EXPECT_EQ(fake::Written().size(), 14u);
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadEvent() Data NOT retrieved (rc=2)"));
    EXPECT_EQ(host->plcState[5], kCommunicating);
}

TEST_F(EventTest, SilentStationGoesIntoError) {
    EXPECT_EQ(Poll(), 2);
    EXPECT_EQ(fake::Written().size(), 5u);
    EXPECT_EQ(host->plcState[5], kInError);
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadEvent() Receive : sRetry=0 ret 2"));
}

TEST_F(EventTest, StationThatNeverAnswersWellGoesIntoError) {
    // Each damaged or refused poll asks for its block again: the poll, then four repeats.
    const std::vector<uint8_t> functions{0x42, 0x43, 0x43, 0x43, 0x43};
    struct Case {
        const char* what;
        Frame (*reply)(uint8_t function);
        const char* lastLine;
    };
    const Case cases[] = {
        {"damaged",
         [](uint8_t function) {
             Frame damaged = Block(5, function, {Record(1, 1, 0, 0, 0, 10)});
             damaged.back() ^= 0xFF;
             return damaged;
         },
         "MERIX>  ReadEvent() wrong CRC  : sRetry=0 ret 2"},
        {"refused",
         [](uint8_t) {
             return WithCrc({0x05, 0xC2, 0x01});
         }, // the poll's refusal, every time
         "MERIX> ReadEvent() ANL rp1 : sRetry=0 ret 2"},
    };
    for (const Case& c : cases) {
        host->plcState[5] = kCommunicating;
        host->fEF[5] = 1;
        Initialise();
        for (uint8_t function : functions) {
            fake::QueueReply(c.reply(function));
        }
        EXPECT_EQ(Poll(), 2) << c.what;
        EXPECT_EQ(fake::Written().size(), 5u) << c.what;
        EXPECT_EQ(host->plcState[5], kInError) << c.what;
        EXPECT_EQ(host->fRE[5], 1u) << c.what << ": the last block may have left the controller";
        EXPECT_TRUE(qorlib::Logged(c.lastLine)) << c.what;
        // Given up in the loop: the line of a loop that ran out is not logged too.
        EXPECT_FALSE(qorlib::Logged("MERIX> ReadEvent() Data NOT retrieved (rc=2)")) << c.what;
    }
}

TEST_F(EventTest, SwitchedOffOrUntabledStationsAreRefusedWithoutTraffic) {
    host->plcState[5] = kSwitchedOff;
    host->fReadEvent = 0;
    EXPECT_EQ(Poll(), 2);
    EXPECT_EQ(host->fReadEvent, 0u);
    for (int32_t station : {32, 99, -4}) {
        AccessGate far("$EVENT", station, 3, 0xFFFD);
        const DriverContext before = *host;
        EXPECT_EQ(Call(kSingleRead, &far.rec), 2);
        EXPECT_EQ(std::memcmp(&before, &*host, sizeof(DriverContext)), 0);
    }
    EXPECT_TRUE(fake::Written().empty());
}

TEST_F(EventTest, WarmStartAndTheStationSwitchSetUpTheEventsAgain) {
    Initialise();
    host->plcState[5] = kInError;
    StationArg arg{5};
    Call(kWarmStart, &arg);
    fake::QueueReply(kSetUpNoneSet);
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Sent(0), 0x41);
    AccessGate hima("HIMA05", 255, 80, 5, kGateTypeDigital);
    hima.SetWord(0);
    Call(kSingleWrite, &hima.rec);
    fake::QueueReply(kSetUpNoneSet);
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(Sent(1), 0x41);
}

} // namespace
} // namespace merix::test
