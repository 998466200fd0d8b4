// The statistics gates: what an operator's HMI reads of a line's health.
#include <string>
#include <vector>

#include "gates/address_parser.h"
#include "merix/statistics_gates.h"
#include "services/host_log.h"
#include "test_support.h"

namespace merix::test {
namespace {

class LineStatisticsTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(ColdStart(), 0);
        qorlib::DefineGate("E050001", 1);
    }

    /// Parses a statistics gate as the host does and reads it; the value the driver handed
    /// the host, in full.
    double Read(const std::string& name) {
        AccessGate gate = Parsed(name);
        const size_t sent = fake::Written().size();
        EXPECT_EQ(Call(kSingleRead, &gate.rec), 0) << name;
        EXPECT_EQ(fake::Written().size(), sent) << "read from memory, never from the line";
        const auto calls = qorlib::UnCookCalls();
        return calls.empty() ? -1 : calls.back().value;
    }
    int32_t Write(const std::string& name, int16_t value) {
        AccessGate gate = Parsed(name);
        gate.SetWord(value);
        return Call(kSingleWrite, &gate.rec);
    }
    AccessGate Parsed(const std::string& name) {
        char text[16];
        std::snprintf(text, sizeof text, "%s", name.c_str());
        GateParseRecord rec{text, kGateType0, 1, 0, 0, 0, 0, 0};
        EXPECT_EQ(Call(kSingleAddressParser, &rec), 0) << name;
        return AccessGate(name.c_str(), rec.station, rec.function, rec.address);
    }
    /// Every counter of `station` but the turnaround, in the order of the table.
    std::vector<double> Counts(int station) {
        std::vector<double> out;
        for (const char* counter :
             {"OK", "FAIL", "RTRY", "SIL", "CRC", "WRNG", "EXC", "EVT", "SHRT"}) {
            char name[16];
            std::snprintf(name, sizeof name, "ST%02d%s", station, counter);
            out.push_back(Read(name));
        }
        return out;
    }
    int32_t ReadRegister(int station) {
        char text[16];
        std::snprintf(text, sizeof text, "%02d300100", station);
        AccessGate gate(text, station, 3, 100);
        return Call(kSingleRead, &gate.rec);
    }
    int32_t ReadCoil(int station) {
        char text[16];
        std::snprintf(text, sizeof text, "%02d100007", station);
        AccessGate gate(text, station, 1, 7, kGateTypeDigital);
        return Call(kSingleRead, &gate.rec);
    }
    int32_t WriteRegister(int station) {
        char text[16];
        std::snprintf(text, sizeof text, "%02d300100", station);
        AccessGate gate(text, station, 3, 100);
        gate.SetWord(0x1234);
        return Call(kSingleWrite, &gate.rec);
    }
    int32_t PollEvents(int station) {
        AccessGate gate("$EVENT", station, 3, 0xFFFD);
        return Call(kSingleRead, &gate.rec);
    }
    /// Runs a case's transaction (0 read, 1 write, 2 event poll after the set-up, 3 coil read)
    /// on station 3; its result.
    int32_t RunOnStation3(int transaction) {
        switch (transaction) {
        case 0:
            return ReadRegister(3);
        case 1:
            return WriteRegister(3);
        case 3:
            return ReadCoil(3);
        default:
            EXPECT_EQ(PollEvents(3), 0) << "the set-up";
            return PollEvents(3);
        }
    }
};

Frame Registers(uint8_t station) {
    return WithCrc({station, 0x03, 0x02, 0x00, 0x2A});
}
Frame BadCrc(uint8_t station) {
    Frame f = Registers(station);
    f.back() ^= 0xFF;
    return f;
}

struct LineCase {
    const char* what;
    std::vector<Frame> replies; // an empty frame: silence
    int transaction;            // 0 read, 1 write, 2 event poll after the set-up, 3 coil read
    int32_t result;
    // OK, FAIL, RTRY, SIL, CRC, WRNG, EXC, EVT, SHRT
    std::vector<double> counts;
    int failedSends = 0; // the first requests that cannot be written to the port
};

// Station 3's replies the cases are made of.
const Frame kSilence;
const Frame kEcho = WithCrc({0x03,         // station
                             0x06,         // write single register
                             0x00, 0x64,   // address 100
                             0x12, 0x34}); // value

const Frame kOtherEcho = WithCrc({0x03,         // station
                                  0x06,         // write single register
                                  0x00, 0x64,   // address 100
                                  0x00, 0x00}); // another value

const Frame kSetUp = WithCrc({0x03,   // station
                              0x41,   // event init
                              0x01,   // byte count
                              0x00}); // no event set

const Frame kBlockOfTwo = WithCrc({0x03,                      // station
                                   0x42,                      // event next block
                                   0x10,                      // byte count: two records
                                   1, 0, 1, 0, 0, 0, 0, 10,   // event 1 = 1 at 10:00:00.000
                                   2, 0, 1, 0, 0, 0, 0, 10}); // event 2 = 1 at 10:00:00.000

const LineCase kLineCases[] = {
    {"good read", {Registers(3)}, 0, 0, {1, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"one bad CRC", {BadCrc(3), Registers(3)}, 0, 0, {1, 0, 1, 0, 1, 0, 0, 0, 0}},
    {"silent station",
     {kSilence, kSilence, kSilence, kSilence, kSilence},
     0,
     2,
     {0, 1, 4, 5, 0, 0, 0, 0, 0}},
    {"exceptions on every try",
     std::vector<Frame>(5, WithCrc({0x03,    // station
                                    0x83,    // read registers, exception bit
                                    0x01})), // illegal function
     0,
     2,
     {0, 1, 4, 0, 0, 0, 5, 0, 0}},
    {"another station, then the right one",
     {Registers(4), Registers(3)},
     0,
     0,
     {1, 0, 1, 0, 0, 1, 0, 0, 0}},
    {"another function",
     {WithCrc({0x03,   // station
               0x04,   // read input registers, not holding registers
               0x02,   // byte count
               0, 1}), // value
      Registers(3)},
     0,
     0,
     {1, 0, 1, 0, 0, 1, 0, 0, 0}},
    {"too short for the values",
     {WithCrc({0x03,    // station
               0x03,    // read registers
               0x00})}, // byte count: no value
     0,
     1,
     {0, 1, 0, 0, 0, 1, 0, 0, 0}},
    {"a coil read without its data byte",
     {WithCrc({0x03,    // station
               0x01,    // read coils
               0x00})}, // byte count: no data byte
     3,
     1,
     {0, 1, 0, 0, 0, 1, 0, 0, 0}},
    {"cut short, then the reply",
     {{0x03,  // station
       0x03,  // read registers
       0x02,  // byte count
       0x00}, // the value's first byte; the second and the CRC never come
      Registers(3)},
     0,
     0,
     {1, 0, 1, 0, 0, 0, 0, 0, 1}},
    {"no request could be sent", {}, 0, 2, {0, 1, 0, 0, 0, 0, 0, 0, 0}, 5},
    {"good write", {kEcho}, 1, 0, {1, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"echo differs, then matches", {kOtherEcho, kEcho}, 1, 0, {1, 0, 1, 0, 0, 1, 0, 0, 0}},
    {"set-up, then a block of two", {kSetUp, kBlockOfTwo}, 2, 0, {2, 0, 0, 0, 0, 0, 0, 2, 0}},
};

TEST_F(LineStatisticsTest, CountersReadWhatTheLineDid) {
    for (const LineCase& c : kLineCases) {
        ASSERT_EQ(ColdStart(), 0) << "the counters start from zero";
        qorlib::DefineGate("E030001", 1);
        qorlib::DefineGate("E030002", 1);
        QueueReplies(c.replies);
        if (c.failedSends > 0) {
            fake::FailNext("WriteFile", c.failedSends);
        }
        EXPECT_EQ(RunOnStation3(c.transaction), c.result) << c.what;
        EXPECT_EQ(Counts(3), c.counts) << c.what;
        EXPECT_EQ(Counts(0), c.counts) << c.what << ": the line is the sum of its stations";
    }
}

TEST_F(LineStatisticsTest, TheLineSumsItsStationsAndClearingIsPerStationOr00ForAll) {
    // The counter moves 5 ms at every read: the reply's first read comes one read after the
    // switch to receive, and its two bytes took two character times of that.
    fake::SetCounter(1'000'000, 5000);
    ASSERT_EQ(ColdStart(), 0);
    const double turnaround =
        static_cast<uint32_t>(5000.0 - 2 * static_cast<double>(host->msecPerChar) * 1000.0);
    fake::QueueReply(Registers(3));
    fake::QueueReply(BadCrc(31));
    fake::QueueReply(Registers(31));
    ASSERT_EQ(ReadRegister(3), 0);
    ASSERT_EQ(ReadRegister(31), 0);
    EXPECT_EQ(Read("ST00OK"), 2);
    EXPECT_EQ(Read("st00crc"), 1);
    EXPECT_EQ(Read("ST31TURN"), turnaround);
    EXPECT_EQ(Read("ST00TURN"), turnaround) << "the line's last reply";

    for (int16_t refused : {5, -1}) {
        EXPECT_EQ(Write("ST31OK", refused), 1) << refused << ": only 0 clears";
    }
    EXPECT_EQ(Read("ST31OK"), 1);
    EXPECT_EQ(Write("ST31SIL", 0), 0) << "any counter clears the station's";
    EXPECT_EQ(Counts(31), std::vector<double>(9, 0));
    EXPECT_EQ(Read("ST03OK"), 1);
    EXPECT_EQ(Write("ST00EVT", 0), 0);
    EXPECT_EQ(Counts(0), std::vector<double>(9, 0));

    // Records the parser never gives, as a host could hand them over: refused, nothing read.
    // Every index of a station's 16 is a counter now: only what lies outside the stations is
    // left to forge.
    static_assert(kLineCounterCount <= kStatisticsStride);
    for (int32_t address : {0x100 + 32 * 16, 0x100 + 32 * 16 + 15, INT32_MIN, INT32_MIN + 0xFF}) {
        AccessGate forged("ST05XYZ", kInternalStation, kInternalFunction, address);
        EXPECT_EQ(Call(kSingleRead, &forged.rec), 1) << address;
        EXPECT_EQ(Call(kSingleWrite, &forged.rec), 1) << address;
    }
}

TEST_F(LineStatisticsTest, NoTrafficNoCount) {
    host->plcState[3] = kSwitchedOff;
    EXPECT_EQ(ReadRegister(3), 2);
    AccessGate time("$TIME", 0, 3, 0xFFFC);
    Call(kSingleWrite, &time.rec); // a broadcast is no station's transaction
    EXPECT_EQ(Counts(0), std::vector<double>(9, 0));
    EXPECT_EQ(Counts(3), std::vector<double>(9, 0));
}

TEST_F(LineStatisticsTest, LineErrorsAreTheAwaitedStationsAndTheLineSumsThem) {
    fake::SeeLineErrors({5, 5, 5});   // on the idle line before any request: nobody's
    fake::QueueLineErrors({2, 0, 1}); // while the corrupted reply came
    fake::QueueReply(BadCrc(3));
    fake::QueueLineErrors({1, 0, 0});
    fake::QueueReply(Registers(3));
    ASSERT_EQ(ReadRegister(3), 0);
    fake::QueueLineErrors({0, 3, 0});
    fake::QueueReply(Registers(4)); // station 5 was asked: its errors, not the answerer's
    fake::QueueReply(Registers(5));
    ASSERT_EQ(ReadRegister(5), 0);
    fake::SetPending({0x00, 0xFF}); // late bytes of station 5's reply, a break among them,
    fake::SeeLineErrors({1, 0, 2}); // seen before the purge of the next request
    fake::QueueReply(Registers(6));
    ASSERT_EQ(ReadRegister(6), 0);
    const std::vector<std::pair<const char*, double>> expected = {
        {"ST03FRM", 3}, {"ST03PAR", 0}, {"ST03OVR", 1}, {"ST05FRM", 1},
        {"ST05PAR", 3}, {"ST05OVR", 2}, {"ST04PAR", 0}, {"ST06FRM", 0},
        {"ST06OVR", 0}, {"ST00FRM", 4}, {"ST00PAR", 3}, {"ST00OVR", 3}};
    for (const auto& [name, value] : expected) {
        EXPECT_EQ(Read(name), value) << name;
    }
}

TEST_F(LineStatisticsTest, TheTurnaroundIsTheAnsweringStations) {
    fake::SetCounter(1'000'000, 5000);
    ASSERT_EQ(ColdStart(), 0);
    const double turnaround =
        static_cast<uint32_t>(5000.0 - 2 * static_cast<double>(host->msecPerChar) * 1000.0);
    for (int i = 0; i < 14; ++i) {
        fake::QueueReply(Registers(4)); // to every request to station 3
    }
    ASSERT_EQ(ReadRegister(3), 1);
    EXPECT_EQ(Read("ST04TURN"), turnaround);
    EXPECT_EQ(Read("ST03TURN"), 0);
    for (int i = 0; i < 14; ++i) {
        fake::QueueReply(Registers(99));
    }
    ASSERT_EQ(ReadRegister(5), 1);
    EXPECT_EQ(Read("ST05TURN"), 0) << "99 is no station of the tables: nobody's";
}

} // namespace
} // namespace merix::test
