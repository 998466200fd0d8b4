// The initialisation file: keywords, values, illegal lines, file choice and hostile content.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "config/ini_file.h"
#include "services/host_log.h"
#include "test_support.h"

namespace merix::test {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

// 9600 baud, 8E1 without a file: IFG 4 ms, fDelay -1.0 ms.
constexpr uint16_t kDefaultIfg = 4;
constexpr float kDefaultFDelay = -1.0f;

class IniFileTest : public InDirTest {
protected:
    /// ColdStart of driver 1, port not opened, with `content` as its .INI file.
    void StartWith(const std::string& content) {
        WriteFile("MERIX01.INI", content);
        ColdStart(9600, 8, 0, 2, 0);
    }
    static bool AnyIllegalLine() {
        for (const auto& text : LogTexts()) {
            if (text.find("illegal line") != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    /// The reader's own lines: from the opening line to the closing IFG line.
    static std::vector<std::string> ReaderLines() {
        const auto all = LogTexts();
        auto first = std::find_if(all.begin(), all.end(), [](const std::string& t) {
            return t.starts_with("MERIX> Opening Initialisation file");
        });
        auto last = std::find_if(first, all.end(), [](const std::string& t) {
            return t.starts_with("MERIX> ReadIntFile() IFG = ");
        });
        return {first, last == all.end() ? last : last + 1};
    }
};

struct LineCase {
    const char* content;
    uint8_t debug;
    uint32_t sendMask;
    uint32_t recMask;
    float fDelay;
    uint16_t ifg;
    bool illegal;
};

class IniFileLine : public IniFileTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(IniFileLine, SetsTheContext) {
    const LineCase& c = GetParam();
    StartWith(c.content);
    EXPECT_EQ(host->debugFlag, c.debug);
    EXPECT_EQ(host->SendMask, c.sendMask);
    EXPECT_EQ(host->RecMask, c.recMask);
    EXPECT_FLOAT_EQ(host->fDelay, c.fDelay);
    EXPECT_EQ(host->IFG, c.ifg);
    EXPECT_EQ(AnyIllegalLine(), c.illegal);
    if (c.illegal) {
        EXPECT_TRUE(qorlib::Logged("MERIX> ReadIntFile() illegal line 1 in 'MERIX01.INI'", 32));
    }
}

constexpr float D = kDefaultFDelay;
constexpr uint16_t G = kDefaultIfg;

INSTANTIATE_TEST_SUITE_P(
    Keywords, IniFileLine,
    ::testing::Values(LineCase{"debug = on\n", 1, 0x0101, 0, D, G, false},
                      LineCase{"  DeBuG=oN\n", 1, 0x0101, 0, D, G, false},
                      LineCase{"DEBUG=ON\nDEBUG = OFF\n", 0, 0x0101, 0, D, G, false},
                      LineCase{"DEBUG ON\n", 0, 0x0101, 0, D, G, true},
                      LineCase{"DEBUGX=ON\n", 0, 0x0101, 0, D, G, true},
                      LineCase{"DEBUG = MAYBE\n", 0, 0x0101, 0, D, G, false},
                      LineCase{"SEND = DTR OFF RTS ON\n", 0, 0x0202, 0, D, G, false},
                      LineCase{"SEND = RTS ON\n", 0, 0x0303, 0, D, G, false},
                      LineCase{"send=dtroffrtson\n", 0, 0x0202, 0, D, G, false},
                      LineCase{"SEND = DTR=ON\n", 0, 0x0101, 0, D, G, false},
                      LineCase{"SEND = DTR OFF DTR ON\n", 0, 0x0101, 0, D, G, false},
                      LineCase{"SEND = DTR OFF CTS ON RTS ON\n", 0, 0x0000, 0, D, G, false},
                      LineCase{"RECEIVE = RTS ON\n", 0, 0x0101, 0x0202, D, G, false},
                      LineCase{"Receive = DTR ON RTS ON\n", 0, 0x0101, 0x0303, D, G, false},
                      LineCase{"FDELAY = -10\n", 0, 0x0101, 0, -1.0f, G, false},
                      LineCase{"FDELAY = 499\n", 0, 0x0101, 0, 49.9f, G, false},
                      LineCase{"FDELAY = 500\n", 0, 0x0101, 0, D, G, false},
                      LineCase{"FDELAY = -32768\n", 0, 0x0101, 0, -3276.8f, G, false},
                      LineCase{"FDELAY = 65636\n", 0, 0x0101, 0, D, G, false}, // would wrap to 100
                      LineCase{"FDELAY = x\n", 0, 0x0101, 0, D, G, false},
                      LineCase{"IFG = 0\n", 0, 0x0101, 0, D, 0, false},
                      LineCase{"IFG = 4999\n", 0, 0x0101, 0, D, 4999, false},
                      LineCase{"IFG = 5000\n", 0, 0x0101, 0, D, G, false},
                      LineCase{"IFG = 40000\n", 0, 0x0101, 0, D, G, false},
                      LineCase{"IFG = 65537\n", 0, 0x0101, 0, D, G, false}, // would wrap to 1
                      LineCase{"IFG = 99999999999999999999\n", 0, 0x0101, 0, D, G, false},
                      LineCase{"   \n", 0, 0x0101, 0, D, G, true},
                      LineCase{"\n", 0, 0x0101, 0, D, G, false},
                      LineCase{";DEBUG=ON\n", 0, 0x0101, 0, D, G, false},
                      LineCase{" ;DEBUG=ON\n", 0, 0x0101, 0, D, G, true},
                      LineCase{"\tDEBUG=ON\n", 0, 0x0101, 0, D, G, true},
                      LineCase{"\r\nDEBUG=ON\r\n", 1, 0x0101, 0, D, G, false}));

struct Rs485Case {
    Rs485Case(std::string c, bool r, std::vector<std::string> l, std::string p = {})
        : content(std::move(c)), rs485(r), logged(std::move(l)), port(std::move(p)) {}
    std::string content;
    bool rs485;
    std::vector<std::string> logged; // the RS485, PORT and illegal-line messages, each at level 32
    std::string port;                // PORT as kept, in the case written
};

class IniFileRs485 : public IniFileTest, public ::testing::WithParamInterface<Rs485Case> {};

TEST_P(IniFileRs485, SetsTheInstanceSettings) {
    const Rs485Case& c = GetParam();
    WriteFile("MERIX01.INI", c.content);
    for (const bool kept : {true, false}) { // without settings it is read and logged alike
        qorlib::ClearLog();
        InstanceSettings settings;
        CallBlock cb{host.ctx.get(), kColdStart, 1, 0, nullptr};
        ReadIntFile(&cb, kept ? &settings : nullptr);
        EXPECT_EQ(settings.rs485, kept && c.rs485);
        EXPECT_EQ(settings.port, kept ? c.port : "");
        std::vector<std::string> logged;
        for (const auto& line : qorlib::Log()) {
            if (line.text.starts_with("MERIX> RS485") || line.text.starts_with("MERIX> PORT") ||
                line.text.find("illegal") != std::string::npos) {
                logged.push_back(line.text);
                EXPECT_EQ(line.level, 32) << line.text;
            }
        }
        EXPECT_EQ(logged, c.logged);
    }
}

const std::string kOn = "MERIX> RS485 = ON";
const std::string kOff = "MERIX> RS485 = OFF";
std::string Illegal(int line) {
    return "MERIX> ReadIntFile() illegal line " + std::to_string(line) + " in 'MERIX01.INI'";
}

INSTANTIATE_TEST_SUITE_P(
    Values, IniFileRs485,
    ::testing::Values(
        Rs485Case{"rs485 = on\n", true, {kOn}}, Rs485Case{"RS485=1  \n", true, {kOn}},
        Rs485Case{"RS485 = ON\nRS485 = OFF\n", false, {kOn, kOff}},
        Rs485Case{"RS485 = ON\nRS485 = 0", false, {kOn, kOff}},
        Rs485Case{"RS485 = ON\nRS485 = 2\n", true, {kOn, Illegal(2)}},
        Rs485Case{"RS485 = MAYBE\n", false, {Illegal(1)}},
        Rs485Case{"RS485 =\n", false, {Illegal(1)}},
        Rs485Case{"RS485 = ONE\n", false, {Illegal(1)}},
        Rs485Case{"RS485 = 10\n", false, {Illegal(1)}},
        Rs485Case{"RS485 ON\n", false, {Illegal(1)}},
        // A cut line is refused whole: its rest is no line of its own.
        Rs485Case{"RS485 = ON" + std::string(300, ' ') + "X\nRS485 = 1\n", true, {Illegal(1), kOn}},
        // The longest line whose line end fits the buffer is whole, not cut.
        Rs485Case{"RS485 = ON" + std::string(244, ' ') + "\nRS485 = 1\n", true, {kOn, kOn}},
        // 255 characters fill the buffer exactly: with the line end after them, still whole.
        Rs485Case{"RS485 = ON" + std::string(245, ' ') + "\nRS485 = 1\n", true, {kOn, kOn}},
        // PORT: a lasting device path of any length, or a device server's
        // address, kept as written; a name that does not read is refused whole.
        Rs485Case{"PORT = /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n",
                  false,
                  {"MERIX> PORT = /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
                  "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
        Rs485Case{"port = Tcp://Server.Plant:4001  \n",
                  false,
                  {"MERIX> PORT = Tcp://Server.Plant:4001"},
                  "Tcp://Server.Plant:4001"},
        Rs485Case{"PORT = rfc2217://[fe80::1]:65535\nPORT = tcp://host:0\n",
                  false,
                  {"MERIX> PORT = rfc2217://[fe80::1]:65535", Illegal(2)},
                  "rfc2217://[fe80::1]:65535"},
        Rs485Case{"PORT = tcp://host\n", false, {Illegal(1)}},
        Rs485Case{"PORT = tcp://:502\n", false, {Illegal(1)}},
        Rs485Case{"PORT = tcp://host:65536\n", false, {Illegal(1)}},
        Rs485Case{"PORT = tcp://host:50x\n", false, {Illegal(1)}},
        Rs485Case{"PORT = tcp://fe80::1:502\n", false, {Illegal(1)}},
        Rs485Case{"PORT = rfc2217://[::1:502\n", false, {Illegal(1)}},
        Rs485Case{"PORT = tcp://my host:502\n", false, {Illegal(1)}},
        Rs485Case{"PORT =   \n", false, {Illegal(1)}},
        Rs485Case{"PORT = /dev/" + std::string(300, 'x') + "\n", false, {Illegal(1)}}));

TEST_F(IniFileTest, LogsEachSettingVerbatimAndInOrder) {
    StartWith("DEBUG=ON\nSEND=RTS ON\n; comment\n\nIFG=7\nFDELAY=5\nRECEIVE=DTR ON\n");
    const std::pair<std::string, int> expected[] = {
        {"MERIX> Opening Initialisation file 'MERIX01.INI'", 32},
        {"MERIX> Debug information flag = 1", 8},
        {"MERIX> SEND:DTR=1 RTS=1", 32},
        {"MERIX> IFG is set to 7", 8},
        {"MERIX> fDelay = 0.500msec", 32},
        {"MERIX> RECEIVE:DTR=1 RTS=0 ", 32},
        {"MERIX> Total lines read : 7", 8},
        {"MERIX> SEND : DTR(1), RTS(1) ; RECEIVE : DTR(1), RTS(0)", 8},
        {"MERIX> SendMask 0303, RecMask 0101", 8},
        {"MERIX> ReadIntFile() IFG = 7", 32}};
    std::vector<std::string> texts;
    for (const auto& [text, level] : expected) {
        texts.push_back(text);
        EXPECT_TRUE(qorlib::Logged(text, level)) << text;
    }
    EXPECT_EQ(ReaderLines(), texts);
}

TEST_F(IniFileTest, WithoutAFileTheDefaultsApply) {
    ColdStart(9600, 8, 0, 2, 0);
    const std::vector<std::string> expected = {
        "MERIX> Opening Initialisation file 'MERIX01.INI'",
        "MERIX> INI File is not found Default parmeters are used",
        "MERIX> SEND:RTS=OFF DTR=ON, RECEIVE:RTS=OFF DTR=OFF",
        "MERIX> SendMask 0101, RecMask 0000",
        "MERIX> ReadIntFile() IFG = 4",
    };
    EXPECT_EQ(ReaderLines(), expected);
    EXPECT_TRUE(qorlib::Logged("MERIX> INI File is not found Default parmeters are used", 32));
    EXPECT_EQ(host->SendMask, 0x0101u);
    EXPECT_EQ(host->RecMask, 0u);
    EXPECT_EQ(host->debugFlag, 0);
}

TEST_F(IniFileTest, DebugCalibrationEndsWhenTheCounterFails) {
    fake::FailNext("QueryPerformanceCounter", 1'000'000);
    StartWith("DEBUG = ON\n");
    EXPECT_EQ(host->debugFlag, 1);
    // The two back-to-back reads, the busy-wait's first, and the Sleep(1) timing's.
    EXPECT_LE(fake::CallsStartingWith("QueryPerformanceCounter").size(), 4u);
    EXPECT_EQ(fake::CurrentPriority(), 0) << "priority restored";
}

TEST_F(IniFileTest, EmptyFileCountsNoLines) {
    StartWith("");
    EXPECT_TRUE(qorlib::Logged("MERIX> Total lines read : 0", 8));
    EXPECT_EQ(host->SendMask, 0x0101u);
    EXPECT_EQ(host->RecMask, 0u);
}

TEST_F(IniFileTest, IntFileIsPreferredOverIni) {
    WriteFile("MERIX01.INT", "DEBUG=ON\n");
    WriteFile("MERIX01.INI", "IFG=9\n");
    ColdStart(9600, 8, 0, 2, 0);
    EXPECT_TRUE(qorlib::Logged("MERIX> Opening Initialisation file 'MERIX01.INT'", 32));
    EXPECT_EQ(host->debugFlag, 1);
    EXPECT_EQ(host->IFG, kDefaultIfg);
}

TEST_F(IniFileTest, FileNameFollowsTheDriverNumber) {
    WriteFile("MERIX07.INI", "IFG=9\n");
    WriteFile("MERIX123.INI", "IFG=11\n");
    StartParams sp{};
    sp.baud = 9600;
    sp.dataBits = 8;
    sp.parity = 2;
    Call(kColdStart, &sp, 7);
    EXPECT_EQ(host->IFG, 9);
    Call(kColdStart, &sp, 123);
    EXPECT_EQ(host->IFG, 11);
    Call(kColdStart, &sp, 0xFFFFFFFFu); // no such file; the name must still fit
    EXPECT_EQ(host->SendMask, 0x0101u);
}

TEST_F(IniFileTest, LongLinesComeBackInPiecesOf255) {
    // 255 characters fill the buffer; the rest of the line is read as a line of its own.
    StartWith(std::string(255, 'x') + "IFG=9\n" + std::string(1000, 'A') + "\n");
    EXPECT_EQ(host->IFG, 9);
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadIntFile() illegal line 1 in 'MERIX01.INI'"));
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadIntFile() illegal line 6 in 'MERIX01.INI'"));
    EXPECT_TRUE(qorlib::Logged("MERIX> Total lines read : 6", 8)); // 2 + 4 pieces of 1001
}

TEST_F(IniFileTest, BinaryGarbageIsSurvivedAndNulEndsALine) {
    std::mt19937 rng(1234);
    std::string garbage(4096, '\0');
    for (char& ch : garbage) {
        ch = static_cast<char>(rng() & 0xFF);
    }
    StartWith(garbage + "\nDEBUG=ON\0IFG=9\n"s + "\0SEND=RTS ON\n"s + "\xE4\xFF\x80=1\n");
    EXPECT_EQ(host->debugFlag, 1);
    EXPECT_EQ(host->IFG, kDefaultIfg) << "text behind a NUL must not be read";
    EXPECT_EQ(host->SendMask, 0x0101u) << "a line starting with NUL is illegal";
}

struct MatchCase {
    const char* text;
    char separator;
    int index;
    const char* rest;
};

class IniMatchKeyword : public ::testing::TestWithParam<MatchCase> {};

TEST_P(IniMatchKeyword, MovesTheCursorOnlyOnAMatch) {
    static const char* const kKeywords[] = {"DEBUG", "SEND", "RECEIVE", "FDELAY", "IFG", ""};
    const MatchCase& c = GetParam();
    char line[64];
    std::snprintf(line, sizeof line, "ab %s", c.text);
    char* cursor = line + 3;
    EXPECT_EQ(MatchKeyword(cursor, kKeywords, c.separator), c.index);
    EXPECT_STREQ(cursor, c.rest);
    EXPECT_EQ(std::string(line, 3), "ab ") << "text before the cursor stays as it was";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniMatchKeyword,
    ::testing::Values(MatchCase{"  debug  =  on", '=', 0, "ON"},
                      MatchCase{"DEBUG ON", '=', -1, "DEBUG ON"}, MatchCase{"  Ifg x", ' ', 4, "X"},
                      MatchCase{"IFG=", '\0', 4, "="}, MatchCase{"IFG", '=', -1, "IFG"},
                      MatchCase{"SENDRECEIVE=1", '=', -1, "SENDRECEIVE=1"},
                      MatchCase{"fdelay=\t5", '=', 3, "\t5"}, MatchCase{"   ", '=', -1, ""},
                      MatchCase{"", ' ', -1, ""}, MatchCase{"\tSEND=", '=', -1, "\tSEND="}));

TEST(IniMatchKeywordOrder, FirstPrefixInListOrderWins) {
    static const char* const kWords[] = {"OFF", "ON", ""};
    char text[] = "ONE";
    char* cursor = text;
    EXPECT_EQ(MatchKeyword(cursor, kWords, ' '), 1);
    EXPECT_STREQ(cursor, "E");
}

} // namespace
} // namespace merix::test
