// What may be written (WRITE lines), every write on record (JOURNAL) and a confirmed write
// read back (VERIFY).
#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#endif

#include "gates/address_parser.h"
#include "services/host_log.h"
#include "test_support.h"
#include "transactions/write_journal.h"

namespace merix::test {
namespace {

const plat::LocalTime kNow{2003, 11, 24, 10, 7, 5, 456, 0};
constexpr const char* kStamp = "2003-11-24 10:07:05.456";

class WriteRulesTest : public InDirTest {
protected:
    void SetUp() override {
        InDirTest::SetUp();
        fake::SetNow(kNow);
    }
    void TearDown() override {
        StopAllWriteJournals(); // before the directory goes
        InDirTest::TearDown();
    }
    void Start(const std::string& ini) {
        WriteFile("MERIX01.INI", ini);
        qorlib::ClearLog();
        ASSERT_EQ(ColdStart(), 0); // its lines stay in the log
        fake::ClearWritten();
    }
    int32_t Write(AccessGate& gate, int16_t value) {
        gate.SetWord(value);
        return Call(kSingleWrite, &gate.rec);
    }
    static std::vector<std::string> Lines(const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) {
            out.push_back(line);
        }
        return out;
    }
    static std::string Refusal(const std::string& gate) {
        return "MERIX> SingleWrite() gate " + gate + ": no WRITE line allows it, not written";
    }
};

/// The controller's echo of a single write: the request itself.
Frame Echo(int32_t station, int32_t function, int32_t address, int16_t value) {
    const bool coil = function == 1;
    const auto word = static_cast<uint16_t>(coil ? (value != 0 ? 0xFF00 : 0) : value);
    return WithCrc({static_cast<uint8_t>(station),
                    static_cast<uint8_t>(coil ? 0x05 : 0x06), // write coil / register
                    static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                    static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)});
}

struct RuleCase {
    const char* name;
    const char* ini;
    const char* gate;
    int32_t station;
    int32_t function; ///< the gate's read function: 1 coil, 3 register
    int32_t address;
    bool allowed;
};
void PrintTo(const RuleCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteRule : public WriteRulesTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(WriteRule, LandsOrAnswers1WithNothingSent) {
    const RuleCase& c = GetParam();
    Start(c.ini);
    const bool clock = c.gate[0] == '$';
    AccessGate gate(c.gate, c.station, c.function, c.address);
    if (!clock) {
        fake::QueueReply(Echo(c.station, c.function, c.address, 1));
    }
    EXPECT_EQ(Write(gate, 1), c.allowed ? kResultOk : kResultRefused);
    EXPECT_EQ(fake::Written().size(), c.allowed ? 1u : 0u);
    EXPECT_EQ(qorlib::Logged(Refusal(c.gate), kLogError), !c.allowed);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WriteRule,
    ::testing::Values(
        RuleCase{"NoWriteLineAllowsAll", "IFG = 4\n", "05300001", 5, 3, 1, true},
        RuleCase{"NoWriteLineAllowsTheClock", "", "$TIME", 0, 3, 0xFFFC, true},
        RuleCase{"ListedGate", "WRITE = 03300200\n", "03300200", 3, 3, 200, true},
        RuleCase{"NextAddress", "WRITE = 03300200\n", "03300201", 3, 3, 201, false},
        RuleCase{"OtherStation", "WRITE = 03300200\n", "04300200", 4, 3, 200, false},
        RuleCase{"CoilOfTheSameAddress", "WRITE = 03300200\n", "03100200", 3, 1, 200, false},
        RuleCase{"RangeFirst", "WRITE = 03300200-03300210\n", "03300200", 3, 3, 200, true},
        RuleCase{"RangeLast", "WRITE = 03300200 - 03300210\n", "03300210", 3, 3, 210, true},
        RuleCase{"BelowRange", "WRITE = 03300200-03300210\n", "03300199", 3, 3, 199, false},
        RuleCase{"AboveRange", "WRITE = 03300200-03300210\n", "03300211", 3, 3, 211, false},
        RuleCase{"StationCoil", "WRITE = 04\n", "04100007", 4, 1, 7, true},
        RuleCase{"StationRegister", "WRITE = 04\n", "04365535", 4, 3, 65535, true},
        RuleCase{"StationOther", "WRITE = 04\n", "14300007", 14, 3, 7, false},
        RuleCase{"StationIsNotTheClock", "WRITE = 04\n", "$TIME", 0, 3, 0xFFFC, false},
        RuleCase{"ClockLine", "WRITE = $time\n", "$TIME", 0, 3, 0xFFFC, true},
        RuleCase{"ClockLineIsNoGate", "WRITE = $TIME\n", "04300007", 4, 3, 7, false},
        RuleCase{"NoneCoil", "write = none\n", "04100007", 4, 1, 7, false},
        RuleCase{"NoneClock", "WRITE = NONE\n", "$TIME", 0, 3, 0xFFFC, false},
        RuleCase{"NoneThenGate", "WRITE = NONE\nWRITE = 03300200\n", "03300200", 3, 3, 200, true},
        RuleCase{"LinesAddUp", "WRITE = 03300200\nWRITE = 05\n", "05300001", 5, 3, 1, true},
        RuleCase{"MalformedOnly", "WRITE = 03300200-04300210\n", "03300200", 3, 3, 200, false},
        RuleCase{"MalformedBesideLegal", "WRITE = 0330020X\nWRITE = 03300200\n", "03300200", 3, 3,
                 200, true}),
    [](const auto& info) { return std::string(info.param.name); });

class MalformedWriteLine : public WriteRulesTest,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(MalformedWriteLine, IsIllegalAndAllowsNothing) {
    Start(std::string("WRITE = ") + GetParam() + "\n");
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadIntFile() illegal line 1 in 'MERIX01.INI'", kLogError));
    AccessGate reg("03300200", 3, 3, 200);
    AccessGate coil("03100200", 3, 1, 200);
    EXPECT_EQ(Write(reg, 1), kResultRefused);
    EXPECT_EQ(Write(coil, 1), kResultRefused);
    EXPECT_TRUE(fake::Written().empty());
}

INSTANTIATE_TEST_SUITE_P(Values, MalformedWriteLine,
                         ::testing::Values("03300200-04300210",     // ends of two stations
                                           "03300200-03100210",     // ends of two functions
                                           "03300210-03300200",     // the wrong way round
                                           "03300200-", "03200200", // an input
                                           "03400200",              // an input register
                                           "01399999",              // beyond the request's 16 bits
                                           "0330020X", "E0300001", "IFG", "ST03SIL", "00", "3",
                                           "003", "$EVENT", "03300200 03300201", "ALL", ""));

TEST_F(WriteRulesTest, WriteLinesBeyondTheListAreIllegal) {
    std::string ini;
    for (int address = 1; address <= kMaxWriteRules + 1; ++address) {
        ini += "WRITE = 033" + std::to_string(100000 + address).substr(1) + "\n";
    }
    Start(ini);
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadIntFile() illegal line 65 in 'MERIX01.INI'", kLogError));
    EXPECT_FALSE(qorlib::Logged("MERIX> ReadIntFile() illegal line 64 in 'MERIX01.INI'"));
    AccessGate last("03300064", 3, 3, 64);
    fake::QueueReply(Echo(3, 3, 64, 1));
    EXPECT_EQ(Write(last, 1), kResultOk);
    AccessGate beyond("03300065", 3, 3, 65);
    EXPECT_EQ(Write(beyond, 1), kResultRefused);
    EXPECT_EQ(fake::Written().size(), 1u);
}

TEST_F(WriteRulesTest, InternalGatesStayWritableAndReadsAreUntouched) {
    Start("WRITE = NONE\nJOURNAL = j.log\n");
    AccessGate ifg("IFG", 255, 80, 253);
    EXPECT_EQ(Write(ifg, 20), kResultOk);
    EXPECT_EQ(host->IFG, 20);
    AccessGate hima("HIMA05", 255, 80, 5, kGateTypeDigital);
    EXPECT_EQ(Write(hima, 1), kResultOk);
    EXPECT_EQ(host->plcState[5], kSwitchedOff);
    AccessGate reg("03300200", 3, 3, 200);
    fake::QueueReply(WithCrc({0x03,          // station
                              0x03,          // read holding registers
                              0x02,          // byte count
                              0x12, 0x34})); // the value
    EXPECT_EQ(Call(kSingleRead, &reg.rec), kResultOk);
    EXPECT_EQ(reg.Word(), 0x1234);
    EXPECT_EQ(Lines("j.log").size(), 1u)
        << "the start alone: nothing was written into a controller";
}

// The journal's line of each way a register write ends.
enum class Before { kNothing, kDemote, kCloseCom };
struct JournalCase {
    const char* name;
    const char* ini;
    Before before;
    std::vector<Frame> replies; ///< to the write's requests, in order; then silence
    int32_t result;
    const char* tail; ///< the line behind the gate
};
void PrintTo(const JournalCase& c, std::ostream* os) {
    *os << c.name;
}

class JournalLine : public WriteRulesTest, public ::testing::WithParamInterface<JournalCase> {};

TEST_P(JournalLine, TellsHowTheWriteEnded) {
    const JournalCase& c = GetParam();
    Start(std::string("JOURNAL = j.log\n") + c.ini);
    if (c.before == Before::kDemote) {
        AccessGate read("05300001", 5, 3, 1);
        ASSERT_EQ(Call(kSingleRead, &read.rec), kResultFailed); // silence: demoted
    }
    if (c.before == Before::kCloseCom) {
        ASSERT_EQ(Call(kCloseCom), 0);
        fake::ClearWritten();
    }
    for (const Frame& reply : c.replies) {
        fake::QueueReply(reply);
    }
    AccessGate gate("05300001", 5, 3, 1);
    EXPECT_EQ(Write(gate, 9), c.result);
    if (c.before == Before::kCloseCom) {
        EXPECT_TRUE(fake::Written().empty()) << "a closed port sends nothing";
    }
    const std::vector<std::string> lines = Lines("j.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string("# merix write journal of instance 1, started ") + kStamp);
    EXPECT_EQ(lines[1], std::string(kStamp) +
                            " instance=1 gate=\"05300001\" station=5 function=6 address=1 value=9 "
                            "word=0x0009 " +
                            c.tail);
}

const Frame kEcho = WithCrc({0x05,                      // station
                             0x06,                      // write single register
                             0x00, 0x01,                // address 1
                             0x00, 0x09});              // value 9
const Frame kOtherValue = WithCrc({0x05,                // station
                                   0x06,                // write single register
                                   0x00, 0x01,          // address 1
                                   0x00, 0x08});        // value 8, not 9
const Frame kIllegalValue = WithCrc({0x05,              // station
                                     0x86,              // write single register, exception bit
                                     0x03});            // illegal data value
const Frame kIllegalFunction = WithCrc({0x05,           // station
                                        0x86,           // write single register, exception bit
                                        0x01});         // illegal function
const Frame kBadCrc{0x05, 0x06, 0x00, 0x01, 0x00, 0x09, // the echo
                    0x00, 0x00};                        // a CRC that does not match

INSTANTIATE_TEST_SUITE_P(
    Outcomes, JournalLine,
    ::testing::Values(
        JournalCase{
            "Confirmed", "", Before::kNothing, {kEcho}, 0, "attempts=1 result=0 why=confirmed"},
        JournalCase{"ConfirmedAtTheSecondTry",
                    "",
                    Before::kNothing,
                    {kBadCrc, kEcho},
                    0,
                    "attempts=2 result=0 why=confirmed"},
        JournalCase{"RefusedByTheWriteLines",
                    "WRITE = 05300002\n",
                    Before::kNothing,
                    {},
                    1,
                    "attempts=0 result=1 why=refused by the WRITE lines"},
        JournalCase{"NoAnswer", "", Before::kNothing, {}, 2, "attempts=5 result=2 why=no answer"},
        JournalCase{"RefusedByTheController", "", Before::kNothing,
                    std::vector<Frame>(5, kIllegalValue), 1, "attempts=5 result=1 why=exception 3"},
        JournalCase{"ExceptionTaken", "", Before::kNothing, std::vector<Frame>(5, kIllegalFunction),
                    1, "attempts=5 result=1 why=exception 1"},
        JournalCase{"EchoDiffered", "", Before::kNothing, std::vector<Frame>(14, kOtherValue), 3,
                    "attempts=14 result=3 why=echo differed"},
        JournalCase{"BadCrc", "", Before::kNothing, std::vector<Frame>(5, kBadCrc), 1,
                    "attempts=5 result=1 why=bad CRC"},
        JournalCase{
            "PortNotOpen", "", Before::kCloseCom, {}, 1, "attempts=0 result=1 why=port not open"},
        JournalCase{"StationDemoted",
                    "DEMOTE = 10\n",
                    Before::kDemote,
                    {},
                    2,
                    "attempts=0 result=2 why=station demoted"}),
    [](const auto& info) { return std::string(info.param.name); });

// The request's low 16 bits of 65537 would write register 1, which the WRITE line allows.
TEST_F(WriteRulesTest, AddressBeyond16BitsIsNeverWrittenAndIsJournaled) {
    Start("JOURNAL = j.log\nWRITE = 04\n");
    AccessGate gate("04365537", 4, 3, 65537);
    EXPECT_EQ(Write(gate, 1), kResultRefused);
    EXPECT_TRUE(fake::Written().empty());
    EXPECT_TRUE(qorlib::Logged(
        "MERIX> SingleWrite() gate 04365537: address 65537 is beyond 65535, not written",
        kLogError));
    const std::vector<std::string> lines = Lines("j.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("attempts=0 result=1 why=address beyond 65535"), std::string::npos)
        << lines[1];
}

TEST_F(WriteRulesTest, ClockBroadcastIsJournaledWithTheTimeItCarries) {
    Start("JOURNAL = j.log\nWRITE = $TIME\n");
    AccessGate clock("$TIME", 0, 3, 0xFFFC);
    EXPECT_EQ(Write(clock, 1), kResultOk);
    Start("JOURNAL = j.log\nWRITE = NONE\n");
    EXPECT_EQ(Write(clock, 1), kResultRefused);
    const std::vector<std::string> lines = Lines("j.log");
    ASSERT_EQ(lines.size(), 4u) << "appended, never truncated, across starts";
    const std::string head = std::string(kStamp) +
                             " instance=1 gate=\"$TIME\" station=0 function=70 "
                             "address=- value=";
    EXPECT_EQ(lines[1], head + "2003-11-24T10:07:05.456 attempts=1 result=0 why=broadcast sent");
    EXPECT_EQ(lines[3], head + "- attempts=0 result=1 why=refused by the WRITE lines");
}

TEST_F(WriteRulesTest, StartAfterALineCutShortBeginsOnALineOfItsOwn) {
    WriteFile("j.log", "# an earlier start\n2003-11-24 10:07:05.456 instance=1 gat");
    Start("JOURNAL = j.log\n");
    const std::vector<std::string> lines = Lines("j.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "2003-11-24 10:07:05.456 instance=1 gat") << "kept as it was";
    EXPECT_EQ(lines[2], std::string("# merix write journal of instance 1, started ") + kStamp);
}

TEST_F(WriteRulesTest, JournalKeepsTheCaseOfItsNameAndTheGateTextStaysOnItsLine) {
    Start("JOURNAL = Writes.LOG\n");
    AccessGate gate("05300001", 5, 3, 1);
    std::snprintf(gate.text, sizeof gate.text, "0530\n\"01");
    fake::QueueReply(kEcho);
    EXPECT_EQ(Write(gate, 9), kResultOk);
    const std::vector<std::string> lines = Lines("Writes.LOG");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find(" gate=\"0530??01\" "), std::string::npos) << lines[1];
}

// A journal that cannot be written makes no write at all.
class UnwritableJournal : public WriteRulesTest,
                          public ::testing::WithParamInterface<std::string> {};

TEST_P(UnwritableJournal, RefusesEveryWriteIntoAController) {
    Start(GetParam());
    AccessGate reg("05300001", 5, 3, 1);
    AccessGate clock("$TIME", 0, 3, 0xFFFC);
    fake::QueueReply(kEcho);
    EXPECT_EQ(Write(reg, 9), kResultRefused);
    EXPECT_EQ(Write(clock, 1), kResultRefused);
    EXPECT_TRUE(fake::Written().empty());
    EXPECT_TRUE(qorlib::Logged(
        "MERIX> SingleWrite() gate 05300001: the write journal cannot be written, not written",
        kLogError));
    AccessGate ifg("IFG", 255, 80, 253);
    EXPECT_EQ(Write(ifg, 20), kResultOk) << "the driver's own settings need no journal";
}

INSTANTIATE_TEST_SUITE_P(Files, UnwritableJournal,
                         ::testing::Values("JOURNAL = no/such/dir/j.log\n", "JOURNAL =\n",
                                           // cut short, it would name another file
                                           "JOURNAL = " + std::string(300, 'j') + "\n",
                                           "JOURNAL = .\n")); // a folder

#ifndef _WIN32
// A journal line that cannot be appended after the request went out cannot undo the write: the
// write's true result goes back, the line goes to the log, and no further write is made.
TEST_F(WriteRulesTest, JournalThatFailsAfterTheWriteStopsTheWritesAfterIt) {
    Start("JOURNAL = j.log\n");
    const auto size = std::filesystem::file_size("j.log");
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit full = before;
    full.rlim_cur = static_cast<rlim_t>(size); // the disk is full from here on
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    AccessGate gate("05300001", 5, 3, 1);
    fake::QueueReply(kEcho);
    const int32_t result = Write(gate, 9);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(result, kResultOk) << "the write was made";
    EXPECT_EQ(fake::Written().size(), 1u);
    EXPECT_TRUE(qorlib::Logged(
        std::string("MERIX> SingleWrite() write journal of instance 1 could not be written, no "
                    "write is made from now on; the line it lacks: ") +
            kStamp +
            " instance=1 gate=\"05300001\" station=5 function=6 address=1 value=9 word=0x0009 "
            "attempts=1 result=0 why=confirmed",
        kLogError));
    fake::QueueReply(kEcho);
    EXPECT_EQ(Write(gate, 9), kResultRefused);
    EXPECT_EQ(fake::Written().size(), 1u) << "nothing more is sent";
    EXPECT_EQ(std::filesystem::file_size("j.log"), size) << "the journal is left as it was";
}
#endif

// VERIFY = ON: a confirmed write is read back in one read transaction.
struct VerifyCase {
    const char* name;
    int32_t function; ///< the gate's: 1 coil, 3 register
    int16_t value;
    Frame readRequest;
    Frame readReply; ///< empty: silence
    int32_t result;
    const char* tail;
};
void PrintTo(const VerifyCase& c, std::ostream* os) {
    *os << c.name;
}

class Verify : public WriteRulesTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(Verify, ReadsTheGateBackAndCompares) {
    const VerifyCase& c = GetParam();
    Start("JOURNAL = j.log\nVERIFY = ON\n");
    AccessGate gate(c.function == 1 ? "05100001" : "05300001", 5, c.function, 1);
    fake::QueueReply(Echo(5, c.function, 1, c.value));
    if (!c.readReply.empty()) {
        fake::QueueReply(c.readReply);
    }
    EXPECT_EQ(Write(gate, c.value), c.result);
    ASSERT_GE(fake::Written().size(), 2u);
    EXPECT_EQ(fake::Written()[1], c.readRequest);
    const std::vector<std::string> lines = Lines("j.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[1].ends_with(c.tail)) << lines[1];
}

const Frame kReadRegister = WithCrc({0x05,         // station
                                     0x03,         // read holding registers
                                     0x00, 0x01,   // address 1
                                     0x00, 0x01}); // one register
const Frame kReadCoil = WithCrc({0x05,             // station
                                 0x01,             // read coils
                                 0x00, 0x01,       // address 1
                                 0x00, 0x01});     // one coil

INSTANTIATE_TEST_SUITE_P(
    ReadBacks, Verify,
    ::testing::Values(
        VerifyCase{"RegisterAsWritten", 3, 9, kReadRegister,
                   WithCrc({0x05, 0x03, 0x02, 0x00, 0x09}), // station, function, 2 bytes: 9
                   0, "value=9 word=0x0009 attempts=1 read=9 result=0 why=confirmed and read back"},
        VerifyCase{"RegisterChanged", 3, 9, kReadRegister,
                   WithCrc({0x05, 0x03, 0x02, 0x00, 0x08}), // station, function, 2 bytes: 8
                   3, "value=9 word=0x0009 attempts=1 read=8 result=3 why=read back another value"},
        VerifyCase{"CoilOn", 1, 7, kReadCoil,
                   WithCrc({0x05, 0x01, 0x01, 0x01}), // station, function, 1 byte: ON
                   0, "value=7 word=0xFF00 attempts=1 read=1 result=0 why=confirmed and read back"},
        VerifyCase{"CoilStillOn", 1, 0, kReadCoil,
                   WithCrc({0x05, 0x01, 0x01, 0x01}), // station, function, 1 byte: ON
                   3, "value=0 word=0x0000 attempts=1 read=1 result=3 why=read back another value"},
        VerifyCase{"ReadBackUnanswered",
                   3,
                   9,
                   kReadRegister,
                   {},
                   3,
                   "value=9 word=0x0009 attempts=1 result=3 why=confirmed, not verified: the "
                   "read-back answered 2"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace merix::test
