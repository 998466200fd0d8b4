// The line trace: what a commissioning engineer reads when a line misbehaves.
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#endif

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/frame_text.h"
#include "serial/line_trace.h"
#include "test_support.h"

namespace merix::test {
namespace {

namespace fs = std::filesystem;

// Station 1's reply to a read of one register: 42.
const Frame kRegister42 = WithCrc({0x01,         // st 1
                                   0x03,         // fn 03 read registers
                                   0x02,         // byte count
                                   0x00, 0x2A}); // 42

// Station 1's reply to the same read: 4660.
const Frame kRegister4660 = WithCrc({0x01,         // st 1
                                     0x03,         // fn 03 read registers
                                     0x02,         // byte count
                                     0x12, 0x34}); // 4660

struct OutcomeCase;

class LineTraceTest : public InDirTest {
protected:
    void StartTraced(const std::string& ini) {
        // A counter that moves 0.1 ms a read keeps the line hold's busy-wait short.
        fake::SetCounter(10'000'000, 1000);
        WriteFile("MERIX01.INI", ini);
        ASSERT_EQ(ColdStart(), 0);
    }
    int32_t Read(AccessGate& gate) { return Call(kSingleRead, &gate.rec); }

    /// The lines of a trace file, once the traces are closed (a trace flushes at most ten
    /// times a second while it runs).
    static std::vector<std::string> Lines(const std::string& name) {
        StopAllLineTraces();
        std::ifstream in(name);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) {
            out.push_back(line);
        }
        return out;
    }
    /// Runs one case of EachOutcomeIsWrittenAsTheTransactionTold on station 1.
    void RunOutcomeCase(const OutcomeCase& c);
    /// The lines holding `text`, with the time stamp cut off.
    static std::vector<std::string> Matching(const std::vector<std::string>& lines,
                                             const std::string& text) {
        std::vector<std::string> out;
        for (const auto& line : lines) {
            if (line.find(text) != std::string::npos) {
                out.push_back(line.substr(line.find_first_not_of(" .0123456789")));
            }
        }
        return out;
    }
};

TEST_F(LineTraceTest, ShowsRequestsRepliesSilencesAndOutcomes) {
    // The name keeps its case although keywords are matched in upper case.
    StartTraced("TRACE = Line.Trace\n");
    AccessGate gate("01300100", 1, 3, 100);
    Frame bad = kRegister4660;
    bad.back() ^= 0x01;
    fake::QueueReply(bad);
    fake::QueueReply(kRegister4660);
    EXPECT_EQ(Read(gate), 0);
    fake::SetPending({0xFF});       // a late byte of station 1's reply,
    fake::SeeLineErrors({1, 0, 0}); // without its stop bit
    AccessGate silent("02300100", 2, 3, 100);
    EXPECT_EQ(Read(silent), 2);
    ASSERT_EQ(host->plcState[2], kInError);

    const auto lines = Lines("Line.Trace");
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines[0].starts_with("# merix line trace of instance 1, port COM1 9600 8E1, "
                                     "direction switched by the driver; started "))
        << lines[0];
    EXPECT_EQ(Matching(lines, "TX 01 03").size(), 2u) << "the request and its retry";
    EXPECT_TRUE(Matching(lines, "TX 01 03")[0].starts_with(
        "TX 01 03 00 64 00 01 C5 D5 | st 1 fn 03 read registers addr 100 count 1 | CRC ok | "
        "hold "));
    EXPECT_EQ(Matching(lines, "CRC BAD | turnaround").size(), 1u);
    EXPECT_EQ(Matching(lines, "2 bytes: 4660 | CRC ok | turnaround").size(), 1u);
    EXPECT_EQ(Matching(lines, "-- "),
              (std::vector<std::string>{"-- retry: CRC BAD", "-- good",
                                        "-- line errors on late bytes of station 1: 1 framing, 0 "
                                        "parity, 0 overrun",
                                        "-- retry: no reply", "-- retry: no reply",
                                        "-- retry: no reply", "-- retry: no reply",
                                        "-- failed: no reply; station 2 put into error"}));
    EXPECT_EQ(Matching(lines, "RX silence for").size(), 5u);
    for (const auto& line : qorlib::Log()) {
        EXPECT_EQ(line.text.find("could not be written"), std::string::npos)
            << "a trace that ends as it should: " << line.text;
    }
}

// The request is stamped when its write began: the measured hold before the lines went back to
// receive, from which the reply's reads count.
TEST_F(LineTraceTest, TheRequestIsStampedWhenItsWriteBegan) {
    fake::SetCounter(10'000'000, 1000);
    fake::AdvanceClock(5000); // the counter's origin lies well before the trace begins
    StartTraced("TRACE = t.log\n");
    AccessGate gate("01300100", 1, 3, 100);
    fake::QueueReply(kRegister42);
    ASSERT_EQ(Read(gate), 0);
    const auto lines = Lines("t.log");
    ASSERT_GE(lines.size(), 3u);
    double tx = 0;
    double hold = 0;
    double rx = 0;
    double firstRead = 0;
    ASSERT_EQ(std::sscanf(lines[1].c_str(), "%lf TX", &tx), 1) << lines[1];
    ASSERT_EQ(std::sscanf(lines[1].substr(lines[1].find("planned, ")).c_str(),
                          "planned, %lf ms measured", &hold),
              1)
        << lines[1];
    ASSERT_EQ(std::sscanf(lines[2].c_str(), "%lf RX", &rx), 1) << lines[2];
    ASSERT_EQ(std::sscanf(lines[2].substr(lines[2].find(" at +")).c_str(), " at +%lf", &firstRead),
              1)
        << lines[2];
    EXPECT_GT(hold, 1.0) << "a hold worth stamping";
    // The read steps are written to 10 us: the reception began within 5 us of the hold's end.
    EXPECT_NEAR(tx + hold / 1000, rx - firstRead / 1000, 6e-6);
    EXPECT_LT(tx, 1.0) << "since the trace began, not since the counter's origin";
}

enum class Outcome { kRead, kWrite, kEventPoll }; // the poll asks for a repeat of station 1's block

struct OutcomeCase {
    const char* what;
    std::vector<Frame> replies; // an empty frame: silence
    Outcome kind;
    std::vector<std::string> outcomes;
    plat::LineErrors lineErrors{}; // seen while the first reply came
};

// The echo of the write of 7 to station 1's register 100.
const Frame kEcho7 = WithCrc({0x01,         // st 1
                              0x06,         // fn 06 write register
                              0x00, 0x64,   // addr 100
                              0x00, 0x07}); // value 7

/// Every attempt of a read answered by station 4: thirteen retries, and the last one fails.
std::vector<std::string> WrongStationEveryTime() {
    std::vector<std::string> outcomes(13, "-- retry: reply from station 4");
    outcomes.push_back("-- failed: reply from station 4");
    return outcomes;
}

const OutcomeCase kOutcomeCases[] = {
    {"another station, then the reply",
     {WithCrc({0x04,         // st 4
               0x03,         // fn 03 read registers
               0x02,         // byte count
               0x00, 0x2A}), // 42
      kRegister42},
     Outcome::kRead,
     {"-- retry: reply from station 4", "-- good"}},
    {"another function, then the reply",
     {WithCrc({0x01,         // st 1
               0x04,         // fn 04 read input registers
               0x02,         // byte count
               0x00, 0x2A}), // 42
      kRegister42},
     Outcome::kRead,
     {"-- retry: reply to function 04", "-- good"}},
    {"cut short, then the reply",
     {{0x01,  // st 1
       0x03,  // fn 03 read registers
       0x02,  // byte count
       0x00}, // the value's first byte; the rest never comes
      kRegister42},
     Outcome::kRead,
     {"-- retry: reply cut short", "-- good"}},
    {"refused, then the reply",
     {WithCrc({0x01,   // st 1
               0x83,   // fn 03, exception bit
               0x06}), // exception 6: busy
      kRegister42},
     Outcome::kRead,
     {"-- retry: refused with exception 6", "-- good"}},
    {"an exception the read does not take, every time",
     std::vector<Frame>(5, WithCrc({0x01,    // st 1
                                    0x83,    // fn 03, exception bit
                                    0x01})), // exception 1: illegal function
     Outcome::kRead,
     {"-- retry: exception 1", "-- retry: exception 1", "-- retry: exception 1",
      "-- retry: exception 1", "-- failed: exception 1; station 1 put into error"}},
    // A good frame followed by the same request: the write says why it did not take it.
    {"an echo that differs, then the echo",
     {WithCrc({0x01,         // st 1
               0x06,         // fn 06 write register
               0x00, 0x64,   // addr 100
               0x00, 0x08}), // value 8, not 7
      kEcho7},
     Outcome::kWrite,
     {"-- retry: echo differs", "-- good"}},
    {"another station every time: the fourteenth is the last",
     std::vector<Frame>(14, WithCrc({0x04,          // st 4
                                     0x03,          // fn 03 read registers
                                     0x02,          // byte count
                                     0x00, 0x2A})), // 42
     Outcome::kRead, WrongStationEveryTime()},
    {"the repeat refused: the read is done",
     {WithCrc({0x01,    // st 1
               0xC3,    // fn 43 event repeat block, exception bit
               0x02})}, // exception 2: no block to repeat
     Outcome::kEventPoll,
     {"-- good"}},
    // The marked block is taken; the poll after it is sent and its reply thrown away.
    {"an overflow marker, then the poll whose reply is discarded",
     {WithCrc({0x01,          // st 1
               0x43,          // fn 43 event repeat block
               0x02,          // byte count
               0xFF, 0xFF})}, // the overflow marker
     Outcome::kEventPoll,
     {"-- good", "-- sent, no reply awaited"}},
    // Three different counts: each must be written under its own name.
    {"a reply that came with framing, parity and overrun errors",
     {kRegister42},
     Outcome::kRead,
     {"-- good; line errors: 1 framing, 2 parity, 3 overrun"},
     {.framing = 1, .parity = 2, .overrun = 3}},
};

void LineTraceTest::RunOutcomeCase(const OutcomeCase& c) {
    host->plcState[1] = kCommunicating;
    fake::QueueLineErrors(c.lineErrors);
    QueueReplies(c.replies);
    AccessGate gate("01300100", 1, 3, 100);
    gate.SetWord(7);
    AccessGate events("$EVENT", 1, 3, 0xFFFD);
    host->fEF[1] = 0;
    host->fRE[1] = 1;
    Call(c.kind == Outcome::kWrite ? kSingleWrite : kSingleRead,
         c.kind == Outcome::kEventPoll ? &events.rec : &gate.rec);
}

TEST_F(LineTraceTest, EachOutcomeIsWrittenAsTheTransactionTold) {
    StartTraced("TRACE = t.log\n");
    for (const OutcomeCase& c : kOutcomeCases) {
        RunOutcomeCase(c);
    }
    fake::FailNext("WriteFile");
    AccessGate time("$TIME", 0, 3, 0xFFFC);
    EXPECT_EQ(Call(kSingleWrite, &time.rec), 2);
    EXPECT_EQ(Call(kSingleWrite, &time.rec), 0);

    std::vector<std::string> want;
    for (const OutcomeCase& c : kOutcomeCases) {
        want.insert(want.end(), c.outcomes.begin(), c.outcomes.end());
    }
    want.push_back("-- failed: send failed");
    want.push_back("-- sent, no reply awaited");
    EXPECT_EQ(Matching(Lines("t.log"), "-- "), want);
}

struct RequestCase {
    Frame request; // without its CRC
    const char* text;
};
const RequestCase kRequestCases[] = {
    {{0x01,        // st 1
      0x01,        // fn 01
      0x00, 0x07,  // addr 7
      0x00, 0x10}, // count 16
     "st 1 fn 01 read coils addr 7 count 16 | CRC ok"},
    {{0x02,        // st 2
      0x02,        // fn 02
      0x00, 0x0C,  // addr 12
      0x00, 0x01}, // count 1
     "st 2 fn 02 read inputs addr 12 count 1 | CRC ok"},
    {{0x01,        // st 1
      0x03,        // fn 03
      0x00, 0x64,  // addr 100
      0x00, 0x0A}, // count 10
     "st 1 fn 03 read registers addr 100 count 10 | CRC ok"},
    {{0x01,        // st 1
      0x04,        // fn 04
      0x00, 0x03,  // addr 3
      0x00, 0x01}, // count 1
     "st 1 fn 04 read input registers addr 3 count 1 | CRC ok"},
    {{0x05,        // st 5
      0x05,        // fn 05
      0x00, 0x07,  // addr 7
      0xFF, 0x00}, // value: on
     "st 5 fn 05 write coil addr 7 value 0xFF00 | CRC ok"},
    {{0x05,        // st 5
      0x06,        // fn 06
      0x00, 0x64,  // addr 100
      0x12, 0x34}, // value
     "st 5 fn 06 write register addr 100 value 0x1234 | CRC ok"},
    // The set-up and the time synchronisation carry their own byte count.
    {{0x05,                    // st 5
      0x41,                    // fn 41
      0x04,                    // byte count
      0x00, 0x00, 0x00, 0x10}, // events 16
     "st 5 fn 41 event init events 16 | CRC ok"},
    {{0x05,              // st 5
      0x41,              // fn 41
      0x04,              // byte count
      0x00, 0x00, 0x10}, // one byte short of it
     "st 5 fn 41 event init | length does not fit the function"},
    {{0x05,  // st 5
      0x42}, // fn 42
     "st 5 fn 42 event next block | CRC ok"},
    {{0x05,  // st 5
      0x43}, // fn 43
     "st 5 fn 43 event repeat block | CRC ok"},
    {{0x00,       // st 0: broadcast
      0x46,       // fn 46
      0x08,       // byte count
      45, 6,      // ms % 100, ms / 100: .645
      58, 59, 23, // second, minute, hour
      8, 12, 26}, // day, month, year
     "st 0 fn 46 time sync 26-12-08 23:59:58.645 | CRC ok"},
    {{0x00,       // st 0: broadcast
      0x46,       // fn 46
      0x08,       // byte count
      45, 6,      // ms % 100, ms / 100
      58, 59, 23, // second, minute, hour
      8, 12},     // day, month: the year is missing
     "st 0 fn 46 time sync | length does not fit the function"},
};
TEST(TraceRequestText, EveryKindOfRequestIsDescribed) {
    for (const RequestCase& c : kRequestCases) {
        const Frame frame = WithCrc(c.request);
        FixedText<256> text;
        DescribeRequest(text, frame);
        EXPECT_EQ(text.View(), c.text);
    }
}

struct ReplyCase {
    Frame reply;
    bool crc; // the CRC appended
    const char* text;
};
const ReplyCase kReplyCases[] = {
    // The function is named without its exception bit.
    {{0x01,  // st 1
      0x83,  // fn 03, exception bit
      0x02}, // exception 2
     true,
     "st 1 fn 83 read registers exception 2 | CRC ok"},
    {{0x01,                    // st 1
      0x03,                    // fn 03
      0x04,                    // byte count
      0x00, 0x2A, 0x01, 0x00}, // 42, 256
     true,
     "st 1 fn 03 read registers 4 bytes: 42 256 | CRC ok"},
    {{0x01,        // st 1
      0x06,        // fn 06
      0x00, 0x64,  // addr 100
      0x12, 0x34}, // value
     true,
     "st 1 fn 06 write register addr 100 value 0x1234 | CRC ok"},
    // One record: event 3 = 1 at 23:59:58.456 (ms % 100 first, then ms / 100).
    {{0x01,        // st 1
      0x42,        // fn 42
      0x08,        // byte count
      0x03, 0x00,  // event 3
      0x01,        // = 1
      56, 4,       // ms % 100, ms / 100
      58, 59, 23}, // second, minute, hour
     true,
     "st 1 fn 42 event next block 8 bytes [ev 3=1 23:59:58.456] | CRC ok"},
    // The overflow marker after whole records, and after a partial one, as the driver
    // takes it: any block that ends in FF FF.
    {{0x01,                                // st 1
      0x42,                                // fn 42
      0x0A,                                // byte count
      0x03, 0x00, 0x01, 56, 4, 58, 59, 23, // event 3 = 1 at 23:59:58.456
      0xFF, 0xFF},                         // the overflow marker
     true,
     "st 1 fn 42 event next block 10 bytes [ev 3=1 23:59:58.456] [overflow marker] | CRC ok"},
    {{0x01,             // st 1
      0x42,             // fn 42
      0x05,             // byte count
      0x03, 0x00, 0x01, // the start of a record
      0xFF, 0xFF},      // the overflow marker
     true,
     "st 1 fn 42 event next block 5 bytes [3 stray bytes] [overflow marker] | CRC ok"},
    // Cut after the header: no data to show, and no CRC to judge.
    {{0x01,  // st 1
      0x03}, // fn 03
     false,
     "st 1 fn 03 read registers | no byte count"},
};
TEST(TraceReplyText, EveryKindOfReplyIsDescribed) {
    for (const ReplyCase& c : kReplyCases) {
        const Frame frame = c.crc ? WithCrc(c.reply) : c.reply;
        FixedText<256> text;
        DescribeReply(text, frame);
        EXPECT_EQ(text.View(), c.text);
    }
}

TEST_F(LineTraceTest, AnUnwritableFileGetsOneLogLineAndTheLineWorksOn) {
    StartTraced("TRACE = no/such/directory/trace.txt\n");
    EXPECT_TRUE(
        qorlib::Logged("MERIX> Line trace file 'no/such/directory/trace.txt' cannot be opened: "
                       "no trace"));
    AccessGate gate("01300100", 1, 3, 100);
    fake::QueueReply(kRegister42);
    EXPECT_EQ(Read(gate), 0);
    EXPECT_EQ(gate.Word(), 42);
}

TEST_F(LineTraceTest, NamesThatAreNoRegularFileAreRefusedAtOnce) {
    fs::create_directory("a-directory");
    std::vector<std::string> names{"a-directory"};
#ifdef _WIN32
    names.push_back("COM7"); // a device, whatever the folder
#else
    ASSERT_EQ(mkfifo("a-fifo", 0600), 0);
    names.push_back("a-fifo"); // no reader: an open that waited would never return
    names.push_back("/dev/null");
#endif
    for (const std::string& name : names) {
        ResetLibraryStateForTests();
        fake::Reset(); // the port too: a fresh load would find it closed
        qorlib::ClearLog();
        StartTraced("TRACE = " + name + "\n");
        EXPECT_TRUE(
            qorlib::Logged("MERIX> Line trace file '" + name + "' cannot be opened: no trace"))
            << name;
        AccessGate gate("01300100", 1, 3, 100);
        fake::QueueReply(kRegister42);
        EXPECT_EQ(Read(gate), 0) << name;
    }
}

TEST_F(LineTraceTest, ACutTraceLineNamesNoFile) {
    const std::string name(300, 'a');
    StartTraced("TRACE = " + name + "\nIFG = 7\n");
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadIntFile() illegal line 1 in 'MERIX01.INI'"));
    EXPECT_EQ(host->IFG, 7) << "the line after it is read";
    for (const auto& entry : fs::directory_iterator(".")) {
        EXPECT_EQ(entry.path().filename(), "MERIX01.INI");
    }
}

TEST_F(LineTraceTest, AFullFileBecomesTheOneOlderFileKept) {
    StartTraced("TRACE = t.log\nTRACE_MAX = 1\n");
    // The name was resolved at ColdStart: the host's later directory changes nothing.
    fs::create_directory("elsewhere");
    fs::current_path("elsewhere");
    AccessGate gate("01300100", 1, 3, 100);
    // About 400 bytes an attempt: 6000 reads write more than two files' worth.
    for (int i = 0; i < 6000; ++i) {
        fake::QueueReply(kRegister42);
        ASSERT_EQ(Read(gate), 0);
    }
    StopAllLineTraces();
    EXPECT_TRUE(fs::is_empty("."));
    fs::current_path("..");
    EXPECT_LE(fs::file_size("t.log"), 1u << 20);
    EXPECT_LE(fs::file_size("t.log.1"), 1u << 20);
    EXPECT_GT(fs::file_size("t.log.1"), (1u << 20) - 1000);
    EXPECT_FALSE(fs::exists("t.log.1.1"));
    EXPECT_TRUE(Lines("t.log")[0].starts_with("# merix line trace, continued"));
}

TEST_F(LineTraceTest, AFailedRotationEndsTheTraceAndKeepsTheFullFile) {
    StartTraced("TRACE = t.log\nTRACE_MAX = 1\n");
    fs::create_directories("t.log.1/in-the-way"); // no file can take this name
    AccessGate gate("01300100", 1, 3, 100);
    for (int i = 0; i < 4000; ++i) {
        fake::QueueReply(kRegister42);
        ASSERT_EQ(Read(gate), 0);
    }
    StopAllLineTraces();
    EXPECT_GT(fs::file_size("t.log"), (1u << 20) - 1000) << "not truncated";
    int failures = 0;
    for (const auto& line : qorlib::Log()) {
        failures += line.text.find("could not be written: trace stopped") != std::string::npos;
    }
    EXPECT_EQ(failures, 1) << "one line, not one a read";
}

// A busy line's records reach the file a tenth of a second apart, not at every command: the
// trace's and the capture's alike.
TEST_F(LineTraceTest, GoodReadsAreFlushedAtMostEveryTenthOfASecond) {
    const struct {
        const char* ini;
        const char* file;
    } cases[] = {
        {"TRACE = t.log\n", "t.log"},
        {"CAPTURE = c.pcapng\n", "c.pcapng"},
    };
    for (const auto& c : cases) {
        ResetLibraryStateForTests();
        fake::Reset();
        StartTraced(c.ini);
        AccessGate gate("01300100", 1, 3, 100);
        const auto read = [&] {
            fake::QueueReply(kRegister42);
            ASSERT_EQ(Read(gate), 0) << c.file;
        };
        fake::AdvanceClock(1000);
        read();
        const auto flushed = fs::file_size(c.file);
        read();
        EXPECT_EQ(fs::file_size(c.file), flushed) << c.file << ": the next read, soon after";
        fake::AdvanceClock(100);
        read();
        const auto later = fs::file_size(c.file);
        EXPECT_GT(later, flushed) << c.file << ": a tenth of a second on";
        read();
        ASSERT_EQ(fs::file_size(c.file), later);
        // A host may stop after a port command: what came before is in the file when it returns.
        EXPECT_EQ(Call(kCloseCom), 0);
        EXPECT_GT(fs::file_size(c.file), later) << c.file << ": CloseCom";
    }
}

#ifndef _WIN32
// The disk fills while the file is open: the bytes still buffered cannot be written when it
// closes either, and that is the same failure, said once.
TEST_F(LineTraceTest, AFullDiskEndsTheRecordingWithOneLogLine) {
    const struct {
        const char* ini;
        const char* file;
        const char* failure;
    } cases[] = {
        {"TRACE = t.log\n", "t.log", "could not be written: trace stopped"},
        {"CAPTURE = c.pcapng\n", "c.pcapng", "could not be written: capture stopped"},
    };
    constexpr rlim_t kDisk = 64 * 1024;
    for (const auto& c : cases) {
        ResetLibraryStateForTests();
        fake::Reset();
        qorlib::ClearLog();
        StartTraced(c.ini);
        struct rlimit before {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
        // The small disk ends with the case, however it ends: the other tests write files too.
        struct SmallDisk {
            struct rlimit before;
            void (*oldHandler)(int);
            ~SmallDisk() {
                setrlimit(RLIMIT_FSIZE, &before);
                std::signal(SIGXFSZ, oldHandler);
            }
        } small{before, std::signal(SIGXFSZ, SIG_IGN)}; // a write past it fails instead
        struct rlimit disk = before;
        disk.rlim_cur = kDisk;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &disk), 0);
        AccessGate gate("01300100", 1, 3, 100);
        for (int i = 0; i < 1000; ++i) {
            fake::QueueReply(kRegister42);
            ASSERT_EQ(Read(gate), 0) << c.ini << "the line works on";
        }
        StopAllLineTraces();
        EXPECT_LE(fs::file_size(c.file), kDisk) << c.ini;
        int failures = 0;
        for (const auto& line : qorlib::Log()) {
            failures += line.text.find(c.failure) != std::string::npos;
        }
        EXPECT_EQ(failures, 1) << c.ini;
    }
}
#endif

} // namespace
} // namespace merix::test
