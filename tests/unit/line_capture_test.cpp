// The line capture: its pcapng blocks byte for byte, and a capture made on the fake platform as
// tshark reads it with wireshark/merix.lua (skipped where tshark is missing, and on Windows).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gates/address_parser.h"
#include "serial/function_table.h"
#include "serial/line_capture.h"
#include "serial/pcapng_blocks.h"
#include "serial/protocol.h"
#include "test_support.h"

namespace merix::test {
namespace {

namespace fs = std::filesystem;

struct BlockCase {
    const char* what;
    std::size_t (*make)(std::span<uint8_t> out);
    std::vector<uint8_t> bytes;
};

const uint8_t kRequest[] = {0x01, 0x03, 0x00, 0x64, 0x00, 0x01, 0xC5, 0xD5};

TEST(PcapngBlocks, AreWrittenWholeAndLittleEndian) {
    const BlockCase cases[] = {
        {"section header",
         [](std::span<uint8_t> out) { return pcapng::SectionHeader(out, "mx"); },
         {0x0A, 0x0D, 0x0D, 0x0A, 40,   0,    0,    0,    // type, total length
          0x4D, 0x3C, 0x2B, 0x1A,                         // byte-order magic
          1,    0,    0,    0,                            // version 1.0
          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, // section length unknown
          4,    0,    2,    0,    'm',  'x',  0,    0,    // shb_userappl, padded
          0,    0,    0,    0,                            // end of options
          40,   0,    0,    0}},                          // total length again
        {"interface",
         [](std::span<uint8_t> out) { return pcapng::Interface(out, "COM1", "d"); },
         {1,   0, 0, 0, 40,  0,   0,   0,   // type, total length
          250, 0, 0, 0,                     // RTAC serial, reserved
          0,   0, 0, 0,                     // no snap length
          2,   0, 4, 0, 'C', 'O', 'M', '1', // if_name
          3,   0, 1, 0, 'd', 0,   0,   0,   // if_description, padded
          0,   0, 0, 0, 40,  0,   0,   0}}, // end of options, total length
        {"request",
         [](std::span<uint8_t> out) {
             return pcapng::Packet(out, 2, 1765000000123456, LineEvent::kRequest, kRequest, "");
         },
         {6,    0,    0,    0,    64,   0,    0,    0,    // type, total length
          2,    0,    0,    0,                            // interface
          0x42, 0x45, 0x06, 0x00, 0x40, 0x32, 0x09, 0x16, // microseconds, high word first
          20,   0,    0,    0,    20,   0,    0,    0,    // captured, on the line
          0x69, 0x33, 0xC3, 0x40,                         // 1765000000 s, big-endian
          0x00, 0x01, 0xE2, 0x40,                         // 123456 us, big-endian
          0x01, 0,    0,    0,                            // DATA_TX_START, lines, footer
          0x01, 0x03, 0x00, 0x64, 0x00, 0x01, 0xC5, 0xD5, // the frame
          2,    0,    4,    0,    2,    0,    0,    0,    // epb_flags: outbound
          0,    0,    0,    0,    64,   0,    0,    0}},  // end of options, total length
        {"framing error",
         [](std::span<uint8_t> out) {
             return pcapng::Packet(out, 0, 1000001, LineEvent::kFraming, {}, "1 framing error");
         },
         {6,    0,   0,   0,   68,   0,    0,    0,    // type, total length
          0,    0,   0,   0,                           // interface
          0,    0,   0,   0,   0x41, 0x42, 0x0F, 0x00, // time
          12,   0,   0,   0,   12,   0,    0,    0,    // the header alone
          0,    0,   0,   1,   0,    0,    0,    1,    // 1 s and 1 us
          0x07, 0,   0,   0,                           // FRAMING_ERROR
          1,    0,   15,  0,   '1',  ' ',  'f',  'r',  // opt_comment
          'a',  'm', 'i', 'n', 'g',  ' ',  'e',  'r',  //
          'r',  'o', 'r', 0,                           // padded
          0,    0,   0,   0,   68,   0,    0,    0}},  // end of options, total length
    };
    for (const BlockCase& c : cases) {
        std::vector<uint8_t> out(256, 0xEE);
        const std::size_t size = c.make(out);
        out.resize(size);
        EXPECT_EQ(out, c.bytes) << c.what;
        std::vector<uint8_t> small(c.bytes.size() - 1);
        EXPECT_EQ(c.make(small), 0u) << c.what << ": a block that does not fit is not written";
    }
}

using LineCaptureFileTest = InDirTest;

TEST_F(LineCaptureFileTest, AFileThatCannotBeOpenedGetsOneLogLineAndTheLineWorksOn) {
    fs::create_directory("a-directory");
    // A capture found at the start is kept as the older file; here a folder stands in its way.
    WriteFile("kept.pcapng", "an earlier capture");
    fs::create_directories("kept.pcapng.1/inside");
    for (const std::string name : {"no/such/directory/c.pcapng", "a-directory", "kept.pcapng"}) {
        ResetLibraryStateForTests();
        fake::Reset();
        qorlib::ClearLog();
        WriteFile("MERIX01.INI", "CAPTURE = " + name + "\n");
        ASSERT_EQ(ColdStart(), 0);
        EXPECT_TRUE(
            qorlib::Logged("MERIX> Line capture file '" + name + "' cannot be opened: no capture"))
            << name;
        AccessGate gate("01300100", 1, 3, 100);
        fake::QueueReply(WithCrc({0x01, 0x03, 0x02, 0x00, 0x2A}));
        EXPECT_EQ(Call(kSingleRead, &gate.rec), 0) << name;
        EXPECT_EQ(gate.Word(), 42);
    }
    EXPECT_EQ(fs::file_size("kept.pcapng"), 18u) << "the earlier capture, kept as it was";
}

#ifndef _WIN32 // tshark is run as Debian installs it: the Windows build under Wine skips these

// The dissector names each function as the trace does: its table is a copy of the driver's.
TEST(MerixLua, NamesEveryFunctionAsTheTraceDoes) {
    std::ifstream file(std::string(MERIX_SOURCE_DIR) + "/wireshark/merix.lua");
    const std::string lua((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(lua.empty());
    for (const FunctionRow& row : kFunctions) {
        char entry[64];
        std::snprintf(entry, sizeof entry, "[0x%02X] = \"%.*s\",", row.code,
                      static_cast<int>(row.name.size()), row.name.data());
        EXPECT_NE(lua.find(entry), std::string::npos) << entry;
    }
}

// The dissector's protocol facts are the driver's.
TEST(MerixLua, TakesTheProtocolsFactsAsTheDriverDefinesThem) {
    std::ifstream file(std::string(MERIX_SOURCE_DIR) + "/wireshark/merix.lua");
    const std::string lua((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    char facts[4][64];
    std::snprintf(facts[0], sizeof facts[0], "local kEventRecordSize = %u\n", kEventRecordSize);
    std::snprintf(facts[1], sizeof facts[1], "local kOverflowMarker = 0x%02X%02X\n",
                  kOverflowMarkerByte, kOverflowMarkerByte);
    std::snprintf(facts[2], sizeof facts[2], "local kOverflowMarkerSize = %u\n",
                  static_cast<unsigned>(kOverflowMarkerSize));
    std::snprintf(facts[3], sizeof facts[3], "local kClockFieldSize = %u\n", kClockFieldSize);
    for (const char* fact : facts) {
        EXPECT_NE(lua.find(fact), std::string::npos) << fact;
    }
}

// tshark's fields of each packet, one line each.
constexpr const char* kFields =
    "-e rtacser.eventtype -e merix.direction -e _ws.col.Info -e modbus.regval_uint16"
    " -e modbus.bitval -e merix.event_set -e merix.event.number -e merix.event.value"
    " -e merix.event.time -e merix.time -e frame.comment -e frame.interface_name";

std::vector<std::string> Tshark(const std::string& file, std::string* errors,
                                const char* fields = kFields) {
    const std::string lua = std::string(MERIX_SOURCE_DIR) + "/wireshark/merix.lua";
    // Its own empty configuration, so that no preference of the machine's user applies.
    const std::string command = "WIRESHARK_CONFIG_DIR=. tshark -r " + file +
                                " -X lua_script:" + lua +
                                " -o mbrtu.tcp.port:0 -T fields -E 'separator=|' -E aggregator=, " +
                                fields + " 2>tshark.err";
    std::vector<std::string> lines;
    if (std::FILE* out = popen(command.c_str(), "r")) {
        char line[1024];
        while (std::fgets(line, sizeof line, out) != nullptr) {
            std::string text(line);
            while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
                text.pop_back();
            }
            lines.push_back(text);
        }
        pclose(out);
    }
    std::ifstream err("tshark.err");
    errors->assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    return lines;
}

struct MarkerCase;
struct Seen;

class LineCaptureTest : public InDirTest {
protected:
    void SetUp() override {
        InDirTest::SetUp();
        if (std::system("tshark -v >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "tshark is missing (scripts/deps.sh installs it)";
        }
    }

    /// Sets up instance 1 to capture to line.pcapng and has it make one frame of each kind: a read
    /// that came with a framing error, a coil block read, the two writes, the event set-up, a block
    /// and a refused repeat, and a time synchronisation sent on another port.
    void CaptureOneOfEachFrame();
    void SeeMarkerCase(const MarkerCase& c, AccessGate& events, const Frame& setUp,
                       std::vector<Seen>& driver);
};

void LineCaptureTest::CaptureOneOfEachFrame() {
    fake::SetCounter(10'000'000, 1000); // 0.1 ms a read: a short hold
    fake::SetNow(plat::LocalTime{2026, 12, 8, 23, 59, 58, 645, -1});
    WriteFile("MERIX01.INI", "CAPTURE = line.pcapng\n");
    for (const char* gate : {"E010000", "E010001", "E010002"}) {
        qorlib::DefineGate(gate, 1);
    }
    ASSERT_EQ(ColdStart(), 0);
    ASSERT_TRUE(LineCaptured(*host));

    AccessGate reg("01300100", 1, 3, 100);
    fake::QueueLineErrors({.framing = 1});   // seen while the reply came
    fake::QueueReply(WithCrc({0x01,          // station
                              0x03,          // read holding registers
                              0x02,          // byte count
                              0x12, 0x34})); // 4660
    EXPECT_EQ(Call(kSingleRead, &reg.rec), 0);
    AccessGate coils("01100000", 1, 1, 0, kGateTypeDigital, 10);
    fake::QueueReply(WithCrc({0x01,          // station
                              0x01,          // read coils
                              0x02,          // byte count
                              0xA5, 0x01})); // coils 0 to 9: 1,0,1,0,0,1,0,1,1,0
    EXPECT_EQ(Call(kBlockRead, &coils.rec), 0);
    AccessGate coil("01100007", 1, 1, 7, kGateTypeDigital);
    coil.SetWord(1);
    fake::QueueReply(WithCrc({0x01,          // station
                              0x05,          // write single coil
                              0x00, 0x07,    // coil 7
                              0xFF, 0x00})); // on: the echo
    EXPECT_EQ(Call(kSingleWrite, &coil.rec), 0);
    reg.SetWord(0x1234);
    fake::QueueReply(WithCrc({0x01,          // station
                              0x06,          // write single register
                              0x00, 0x64,    // register 100
                              0x12, 0x34})); // the value: the echo
    EXPECT_EQ(Call(kSingleWrite, &reg.rec), 0);
    AccessGate events("$EVENT", 1, 3, 0xFFFD);
    host->fEF[1] = 1;
    fake::QueueReply(WithCrc({0x01, 0x41, 0x02, 0x05, 0x02})); // events 0, 2 and 9 set
    EXPECT_EQ(Call(kSingleRead, &events.rec), 0);
    fake::QueueReply(WithCrc({0x01, 0x42, 0x10,                    // two records:
                              0x03, 0x00, 0x01, 56, 4, 58, 59, 23, // 3 = 1 at 23:59:58.456
                              0x02, 0x01, 0x00, 5, 0, 0, 0, 10})); // 258 = 0 at 10:00:00.005
    EXPECT_EQ(Call(kSingleRead, &events.rec), 0);
    host->fRE[1] = 1;
    fake::QueueReply(WithCrc({0x01, 0xC3, 0x02})); // no block to repeat
    EXPECT_EQ(Call(kSingleRead, &events.rec), 0);
    ChangeParams other{};
    std::snprintf(other.portName, sizeof other.portName, "COM2");
    ASSERT_EQ(Call(kChangeVpiParams, &other), 0); // the port from now on: a new interface
    AccessGate time("$TIME", 0, 3, 0xFFFC);
    EXPECT_EQ(Call(kSingleWrite, &time.rec), 0);
    StopAllLineCaptures();
}

/// What tshark shows of each packet CaptureOneOfEachFrame made, one line each in kFields.
std::vector<std::string> OneOfEachFrameAsShown() {
    // Its columns are empty where not named.
    struct Row {
        const char* type; // the RTAC serial event
        const char* direction = "";
        const char* info = "";
        const char* registers = "";
        const char* bits = "";
        const char* eventsSet = "";
        const char* eventNumbers = "";
        const char* eventValues = "";
        const char* eventTimes = "";
        const char* time = "";
        const char* comment = "";
        const char* port = "COM1";
    };
    const Row rows[] = {
        {"0x01", "1", "   Query: Unit:   1, Func:   3: Read Holding Registers"},
        {"0x02", "2", "Response: Unit:   1, Func:   3: Read Holding Registers", "4660"},
        {"0x07", "", "Line error: 1 framing error", "", "", "", "", "", "", "", "1 framing error"},
        {"0x01", "1", "   Query: Unit:   1, Func:   1: Read Coils"},
        {"0x02", "2", "Response: Unit:   1, Func:   1: Read Coils", "", "1,0,1,0,0,1,0,1,1,0"},
        // The echo of a write is the same frame as its request: only the direction tells.
        {"0x01", "1", "   Query: Unit:   1, Func:   5: Write Single Coil"},
        {"0x02", "2", "Response: Unit:   1, Func:   5: Write Single Coil"},
        {"0x01", "1", "   Query: Unit:   1, Func:   6: Write Single Register"},
        {"0x02", "2", "Response: Unit:   1, Func:   6: Write Single Register"},
        {"0x01", "1", "Request: st 1 fn 41 event init events 3"},
        {"0x02", "2", "Reply: st 1 fn 41 event init events set: 0, 2, 9", "", "", "0,2,9"},
        {"0x01", "1", "Request: st 1 fn 42 event next block"},
        {"0x02", "2", "Reply: st 1 fn 42 event next block 2 events", "", "", "", "3,258", "1,0",
         "23:59:58.456,10:00:00.005"},
        {"0x01", "1", "Request: st 1 fn 43 event repeat block"},
        {"0x02", "2", "Reply: st 1 fn C3 event repeat block exception 2"},
        {"0x01", "1", "Request: st 0 fn 46 time sync 26-12-08 23:59:58.645", "", "", "", "", "", "",
         "26-12-08 23:59:58.645", "", "COM2"},
    };
    std::vector<std::string> want;
    for (const Row& r : rows) {
        std::string line = r.type;
        for (const char* column :
             {r.direction, r.info, r.registers, r.bits, r.eventsSet, r.eventNumbers, r.eventValues,
              r.eventTimes, r.time, r.comment, r.port}) {
            line += std::string("|") + column;
        }
        want.push_back(line);
    }
    return want;
}

TEST_F(LineCaptureTest, TsharkShowsEachFrameAndLineErrorAsSent) {
    ASSERT_NO_FATAL_FAILURE(CaptureOneOfEachFrame());
    const std::vector<std::string> want = OneOfEachFrameAsShown();
    std::string errors;
    EXPECT_EQ(Tshark("line.pcapng", &errors), want) << errors;

    EXPECT_EQ(Tshark("line.pcapng", &errors, "-e frame.interface_description"),
              std::vector<std::string>(want.size(), "merix instance 1: 9600 8E1, direction "
                                                    "switched by the driver"));

    // Cut in the middle of its last block, as a full disk leaves it: the packets before are
    // whole, and tshark says where it stopped.
    const auto size = fs::file_size("line.pcapng");
    fs::resize_file("line.pcapng", size - 10);
    const std::vector<std::string> before(want.begin(), want.end() - 1);
    EXPECT_EQ(Tshark("line.pcapng", &errors), before);
    EXPECT_NE(errors.find("cut short in the middle of a packet"), std::string::npos) << errors;
}

constexpr int kMarkerEvents = 8; // the event gates E010000 to E010007

std::string MarkerEventAddress(int event) {
    char text[16];
    std::snprintf(text, sizeof text, "E01%04d", event);
    return std::string(text);
}

struct MarkerCase {
    const char* what;
    Frame data; // the block behind its byte count
};
const MarkerCase kMarkerCases[] = {
    {"whole records, then the marker",
     {0x01, 0x00, 0x01, 0, 0, 0, 0, 10, // event 1 = 1 at 10:00:00.000
      0x02, 0x00, 0x00, 0, 0, 0, 0, 10, // event 2 = 0 at 10:00:00.000
      0xFF, 0xFF}},                     // the marker
    {"the marker alone", {0xFF, 0xFF}}, // the marker
    {"the marker behind a partial record",
     {0x03, 0x00, 0x01, 0, 0, 0, 0, 10, // event 3 = 1 at 10:00:00.000
      0x04, 0x00, 0x01,                 // the first 3 bytes of a record
      0xFF, 0xFF}},                     // the marker
    {"FF FF the last two bytes of a record",
     {0x05, 0x00, 0x01, 0, 0, 0, 0, 10,        // event 5 = 1 at 10:00:00.000
      0x06, 0x00, 0x00, 0, 0, 0, 0xFF, 0xFF}}, // event 6 = 0, minutes and hours FF
    {"FF FF across a record's end",
     {0x07, 0x00, 0x01, 0, 0, 0, 0, 0xFF, // event 7 = 1, hours FF
      0xFF}},                             // one byte more
    {"no marker",
     {0x01, 0x00, 0x00, 0, 0, 0, 0, 10,   // event 1 = 0 at 10:00:00.000
      0x02, 0x00, 0x01, 0, 0, 0, 0, 10}}, // event 2 = 1 at 10:00:00.000
    {"one FF is no marker",
     {0x03, 0x00, 0x00, 0, 0, 0, 0, 10, // event 3 = 0 at 10:00:00.000
      0x00, 0xFF}},                     // the first 2 bytes of a record
};

// What the driver made of a 0x42 reply on the line, as tshark shows its fields.
struct Seen {
    const char* what;
    std::string fields; // the marker's bytes | the numbers of the records decoded
};

/// Hands the block of `c` to the driver and adds what it made of it to `driver`: once for a
/// block without the marker, twice for a marked one, which is given again after a set-up.
void LineCaptureTest::SeeMarkerCase(const MarkerCase& c, AccessGate& events, const Frame& setUp,
                                    std::vector<Seen>& driver) {
    Frame block(3 + c.data.size());
    block[0] = 0x01;                                // station
    block[1] = 0x42;                                // event next block
    block[2] = static_cast<uint8_t>(c.data.size()); // byte count
    std::copy(c.data.begin(), c.data.end(), block.begin() + 3);
    block = WithCrc(block);
    qorlib::ClearHistory();
    fake::QueueReply(block);
    const int32_t result = Call(kSingleRead, &events.rec);
    ASSERT_TRUE(result == 0 || result == 1) << c.what;
    const bool marker = result == 1;
    if (marker) {
        fake::QueueReply(setUp);
        ASSERT_EQ(Call(kSingleRead, &events.rec), 0) << c.what;
        qorlib::ClearHistory();
        fake::QueueReply(block);
        ASSERT_EQ(Call(kSingleRead, &events.rec), 0) << c.what;
        ASSERT_TRUE(qorlib::OpenAlerts().empty()) << c.what << ": the overflow is over";
    }
    std::string numbers;
    for (int e = 0; e < kMarkerEvents; ++e) {
        if (!qorlib::History(MarkerEventAddress(e), 1).empty()) {
            numbers += (numbers.empty() ? "" : ",") + std::to_string(e);
        }
    }
    const std::string fields = (marker ? "ffff|" : "|") + numbers;
    driver.insert(driver.end(), marker ? 2 : 1, Seen{c.what, fields});
}

// The dissector finds an event block's overflow marker, and the records with it, where the
// driver does. Each block goes to the driver, which tells the marker by its overflow read (result
// 1) and decodes a marked block's records only while that overflow's alert is open: then it is
// given the block once more, and its event gates tell which records it took. Its capture goes to
// tshark.
TEST_F(LineCaptureTest, TsharkFindsTheOverflowMarkerAndTheRecordsWhereTheDriverDoes) {
    fake::SetCounter(10'000'000, 1000);
    WriteFile("MERIX01.INI", "CAPTURE = events.pcapng\n");
    for (int e = 0; e < kMarkerEvents; ++e) {
        qorlib::DefineGate(MarkerEventAddress(e), 1);
    }
    ASSERT_EQ(ColdStart(), 0);
    AccessGate events("$EVENT", 1, 3, 0xFFFD);
    const Frame setUp = WithCrc({0x01,   // station
                                 0x41,   // event init
                                 0x01,   // byte count
                                 0x00}); // no event set
    host->fEF[1] = 1;
    fake::QueueReply(setUp);
    ASSERT_EQ(Call(kSingleRead, &events.rec), 0);

    std::vector<Seen> driver;
    for (const MarkerCase& c : kMarkerCases) {
        ASSERT_NO_FATAL_FAILURE(SeeMarkerCase(c, events, setUp, driver));
    }
    StopAllLineCaptures();

    std::string errors;
    const std::vector<std::string> shown =
        Tshark("events.pcapng", &errors,
               "-Y 'merix.direction == 2 && merix.function == 0x42' -e merix.overflow"
               " -e merix.event.number");
    ASSERT_EQ(shown.size(), driver.size()) << errors;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i], driver[i].fields) << driver[i].what;
    }
}

TEST_F(LineCaptureTest, AFullFileBecomesTheOlderFileAndEachOpensAlone) {
    fake::SetCounter(10'000'000, 1000);
    WriteFile("MERIX01.INI", "CAPTURE = c.pcapng\nTRACE_MAX = 1\n");
    ASSERT_EQ(ColdStart(), 0);
    AccessGate gate("01300000", 1, 3, 0, 0, 120);
    Frame reply{0x01, 0x03, 240};
    reply.resize(3 + 240, 0x2A);
    reply = WithCrc(reply);
    // About 330 bytes an attempt: 3200 reads are more than one file's worth.
    const int reads = 3200;
    for (int i = 0; i < reads; ++i) {
        fake::QueueReply(reply);
        ASSERT_EQ(Call(kBlockRead, &gate.rec), 0);
    }
    StopAllLineCaptures();
    EXPECT_LE(fs::file_size("c.pcapng"), 1u << 20);
    EXPECT_LE(fs::file_size("c.pcapng.1"), 1u << 20);
    EXPECT_GT(fs::file_size("c.pcapng.1"), (1u << 20) - 400);
    std::size_t packets = 0;
    for (const char* file : {"c.pcapng.1", "c.pcapng"}) {
        std::string errors;
        for (const std::string& line : Tshark(file, &errors)) {
            EXPECT_NE(line.find("Read Holding Registers"), std::string::npos) << file << line;
            ++packets;
        }
        EXPECT_EQ(errors.find("cut short"), std::string::npos) << file << errors;
    }
    EXPECT_EQ(packets, 2u * reads) << "every request and reply, in one file or the other";
}

#endif

} // namespace
} // namespace merix::test
