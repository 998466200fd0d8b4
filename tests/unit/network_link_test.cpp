// A line behind a device server: PORT stands in for the host's name, the server turns the line
// around, and a lost connection is said once, tried again every 5 s, and said back once.
#include <fstream>
#include <iterator>

#include "serial/line_settings_text.h"
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "test_support.h"

namespace merix::test {
namespace {

constexpr const char* kServer = "tcp://server.plant:4001";

class NetworkLinkTest : public InDirTest {
protected:
    void SetUp() override {
        InDirTest::SetUp();
        WriteFile("MERIX01.INI", std::string("PORT = ") + kServer + "\n");
        ASSERT_EQ(ColdStart(), 0);
        fake::ClearCalls();
    }
    int32_t Read() {
        AccessGate gate("01300100", 1, 3, 100);
        fake::QueueReply(WithCrc({0x01, 0x03, 0x02, 0x12, 0x34}));
        return Call(kSingleRead, &gate.rec);
    }
    static int Count(const std::string& text) {
        int n = 0;
        for (const auto& line : qorlib::Log()) {
            n += line.text == text && line.level == kLogError;
        }
        return n;
    }
    static int Reconnects() {
        const auto calls = fake::Calls();
        return static_cast<int>(std::count(calls.begin(), calls.end(), "Reconnect"));
    }
};

// The settings a device server is asked for and the trace's header name the host's codes; a
// code past the last is no name of the table's.
TEST(LineSettingsNames, NameEveryCodeAndMarkTheOthers) {
    const struct {
        uint32_t code;
        const char* parity;
        char letter;
        const char* stopBits;
    } cases[] = {
        {0, "none", 'N', "1"},  {2, "even", 'E', "2"}, {3, "mark", 'M', "?"},
        {4, "space", 'S', "?"}, {5, "?", '?', "?"},    {0xFFFFFFFF, "?", '?', "?"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(ParityName(c.code), c.parity) << c.code;
        EXPECT_EQ(ParityLetter(c.code), c.letter) << c.code;
        EXPECT_STREQ(StopBitsName(c.code), c.stopBits) << c.code;
    }
}

TEST_F(NetworkLinkTest, OpensPortInPlaceOfTheHostsNameAndLeavesTheDirectionToTheServer) {
    EXPECT_EQ(fake::OpenedAs(host->hf), kServer);
    EXPECT_EQ(Count(std::string("MERIX> OpenSavedPort() PORT ") + kServer +
                    " in place of the host's port COM1"),
              1);
    EXPECT_EQ(Count(std::string("MERIX> OpenSavedPort() ") + kServer +
                    ": raw TCP, the device server's own settings govern the line (baud rate, "
                    "framing, direction)"),
              1);
    EXPECT_EQ(Read(), 0);
    for (const auto& call : fake::Calls()) {
        EXPECT_EQ(call.rfind("EscapeCommFunction", 0), std::string::npos) << "no DTR/RTS";
    }
}

TEST_F(NetworkLinkTest, ALostLineIsTriedAgainEvery5SecondsAndSaidOnceEachWay) {
    const std::string lost = std::string("MERIX> ") + kServer +
                             ": connection lost, system error 10054; requests fail until it is "
                             "back, tried again every 5 s";
    const std::string back = std::string("MERIX> ") + kServer + ": connection is back";
    fake::Unplug(kServer, 10054); // WSAECONNRESET
    fake::AdvanceClock(5000);
    EXPECT_EQ(Read(), kResultFailed);
    EXPECT_EQ(Reconnects(), 1) << "the first try comes at once";
    fake::Replug(kServer);
    EXPECT_EQ(Read(), kResultFailed) << "back, but not tried within 5 s of the last try";
    EXPECT_EQ(Reconnects(), 1);
    fake::AdvanceClock(5000);
    EXPECT_EQ(Read(), 0);
    EXPECT_EQ(Reconnects(), 2);
    EXPECT_EQ(Read(), 0);
    EXPECT_EQ(Count(lost), 1);
    EXPECT_EQ(Count(back), 1);
}

// A request that finds the connection gone is not on the wire, and the trace says so.
TEST_F(NetworkLinkTest, ARequestOnALostLineIsTracedAsNotWritten) {
    WriteFile("MERIX01.INI", std::string("PORT = ") + kServer + "\nTRACE = line.trace\n");
    ASSERT_EQ(ColdStart(), 0);
    fake::Unplug(kServer, 10054);
    fake::AdvanceClock(5000);
    EXPECT_EQ(Read(), kResultFailed);
    Call(kEndVpi);
    std::ifstream file("line.trace");
    const std::string trace((std::istreambuf_iterator<char>(file)), {});
    EXPECT_NE(trace.find("| WRITE FAILED"), std::string::npos) << trace;
}

TEST_F(NetworkLinkTest, ReOpenComConnectsAgainRatherThanBeside) {
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Call(kReOpenCom), 0);
        EXPECT_EQ(fake::OpenHandles(), 1) << "a second connection would stay open for good";
    }
    EXPECT_EQ(Read(), 0);
}

// A server the driver reaches slowly, or not at all: the look-up and the connect share one bound,
// the reply timeout (in 10 ms units), at the open and at every reconnect, and a server not
// reached at the open keeps its port, connected again by itself once the server is back.
struct SlowServerCase {
    const char* name;
    uint64_t lookUpMs;
    uint64_t connectMs;
    bool reached; ///< within the 200 ms reply timeout
    const char* logged = "";
};

class SlowServerTest : public InDirTest, public ::testing::WithParamInterface<SlowServerCase> {};

TEST_P(SlowServerTest, NoCommandWaitsPastTheReplyTimeoutAndTheLineHeals) {
    const SlowServerCase& c = GetParam();
    WriteFile("MERIX01.INI", std::string("PORT = ") + kServer + "\n");
    fake::SlowServer(c.lookUpMs, c.connectMs);
    constexpr uint64_t kBoundMs = 200;
    uint64_t before = fake::ClockMicros();
    ASSERT_EQ(ColdStart(9600, 8, 0, 2, 1, "COM1", 20), 0);
    EXPECT_LE(fake::ClockMicros() - before, kBoundMs * 1000) << "ColdStart";
    ASSERT_NE(host->hf, 0u) << "the port is kept for the server";
    AccessGate gate("01300100", 1, 3, 100);
    const auto readOnce = [&] {
        fake::QueueReply(WithCrc({0x01, 0x03, 0x02, 0x12, 0x34}));
        return Call(kSingleRead, &gate.rec);
    };
    if (c.reached) {
        EXPECT_EQ(readOnce(), 0);
        return;
    }
    EXPECT_TRUE(qorlib::Logged(std::string("MERIX> OpenSavedPort() ") + kServer +
                                   " not opened, code 1, system error " + c.logged,
                               kLogDetail));
    fake::AdvanceClock(5000); // the next try is due
    before = fake::ClockMicros();
    EXPECT_EQ(readOnce(), kResultFailed);
    // One bounded try, and the retries' pauses: every later attempt fails at once.
    EXPECT_LE(fake::ClockMicros() - before, (kBoundMs + 4 * 50 + 50) * 1000) << "a read";
    fake::SlowServer(0, 0);
    fake::AdvanceClock(5000);
    fake::QueueLineErrors({.framing = 1}); // seen while the reply came
    EXPECT_EQ(readOnce(), 0) << "back by itself";
    // Set up at its first connection as an open that reached the server would have been.
    EXPECT_TRUE(qorlib::Logged(std::string("MERIX> OpenSavedPort() ") + kServer +
                                   ": raw TCP, the device server's own settings govern the line "
                                   "(baud rate, framing, direction)",
                               kLogError));
    EXPECT_EQ(ReadLineCounter(*host, 1, LineCounter::kFraming), 1u) << "its line errors count";
}

INSTANTIATE_TEST_SUITE_P(
    Servers, SlowServerTest,
    ::testing::Values(
        // 150 ms is within 20 units of 10 ms: a bound taken as 20 ms would refuse it.
        SlowServerCase{"AcceptsAfter150ms", 0, 150, true},
        SlowServerCase{"NameServerNeverAnswers", fake::kStalledForeverMs, 0, false,
                       "11002: the name server did not answer"},
        SlowServerCase{"LookUpAndConnectShareTheBound", 120, 120, false, "10060: timed out"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace merix::test
