// A line behind a device server: PORT stands in for the host's name, the server turns the line
// around, and a lost connection is said once, tried again every 5 s, and said back once.
#include "services/host_log.h"
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

TEST_F(NetworkLinkTest, ReOpenComConnectsAgainRatherThanBeside) {
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Call(kReOpenCom), 0);
        EXPECT_EQ(fake::OpenHandles(), 1) << "a second connection would stay open for good";
    }
    EXPECT_EQ(Read(), 0);
}

} // namespace
} // namespace merix::test
