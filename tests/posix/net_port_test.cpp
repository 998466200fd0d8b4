// Ports behind device servers, through the POSIX backend's calls, against a server on the
// loopback that the test scripts byte by byte: what the driver's side puts on the wire and
// makes of what the server sends, Telnet and RFC 2217 included.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/net_port.h"
#include "platform/net_socket.h"
#include "platform/platform.h"
#include "platform/telnet_codec.h"
#include "tests/e2e/scripted_server.h"

namespace merix::test {
namespace {

using namespace plat::telnet;

/// The bytes of an RFC 2217 answer or notification: IAC SB 44 `code` `value` IAC SE.
Bytes ComPort(uint8_t code, const Bytes& value) {
    uint8_t out[64];
    return Bytes(out, out + EncodeComPort(code, value, out));
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

class NetPort : public ::testing::Test {
protected:
    plat::Handle Open(const char* scheme) {
        const plat::Handle h = plat::CreateFileA(server.Url(scheme).c_str(), 2000);
        EXPECT_NE(h, plat::kInvalidHandle) << plat::LastError();
        plat::CommTimeouts t;
        t.readTotalTimeoutConstant = 300;
        EXPECT_TRUE(plat::SetCommTimeouts(h, t));
        plat::CommTimeouts kept;
        EXPECT_TRUE(plat::GetCommTimeouts(h, &kept));
        EXPECT_EQ(kept.readTotalTimeoutConstant, 300u);
        return h;
    }
    void TearDown() override { plat::CloseHandle(handle); }

    ScriptedServer server;
    plat::Handle handle = 0;
};

TEST_F(NetPort, Rfc2217OffersItsOptionsAndSendsTheLineSettings) {
    handle = Open("rfc2217://");
    plat::Dcb dcb;
    dcb.baudRate = 38400;
    dcb.byteSize = 8;
    dcb.parity = 2;   // even
    dcb.stopBits = 2; // two
    // Before its settings, the port offers its options and nothing else; they go out once the
    // server agrees to COM port control. Every command confirmed but SET-CONTROL, as a server
    // may leave one it cannot carry out, and SET-PARITY, answered with another parity: the open
    // waits a short while and names what is unconfirmed.
    const Bytes offers{kIac, kWill, 0, kIac, kDo, 0, kIac, kWill, 3, kIac, kDo, 3, kIac, kWill, 44};
    EXPECT_EQ(server.Received(offers.size()), offers);
    server.Send({kIac, kDo, 44});
    server.Send(ComPort(100 + kSetBaudRate, {0x00, 0x00, 0x96, 0x00}));
    server.Send(ComPort(100 + kSetDataSize, {8}));
    server.Send(ComPort(100 + kSetParity, {kParityOdd}));
    server.Send(ComPort(100 + kSetStopSize, {kStopTwo}));
    server.Send(ComPort(100 + kSetLineStateMask, {0}));
    ASSERT_TRUE(plat::SetCommState(handle, dcb));
    EXPECT_EQ(plat::UnansweredSettings(handle), (1u << kSetControl) | (1u << kSetParity));
    plat::LineErrors e;
    EXPECT_FALSE(plat::TakeLineErrors(handle, &e)) << "the mask answered 0: no line states";
    const Bytes sent = server.Received(60);
    const Bytes expected[] = {
        offers,
        ComPort(kSetBaudRate, {0x00, 0x00, 0x96, 0x00}), // 38400
        ComPort(kSetDataSize, {8}),
        ComPort(kSetParity, {kParityEven}),
        ComPort(kSetStopSize, {kStopTwo}),
        ComPort(kSetControl, {kControlNoFlowControl}),
        ComPort(kSetLineStateMask, {kLineErrorMask}),
    };
    for (const Bytes& e : expected) {
        EXPECT_TRUE(Contains(sent, e)) << "missing " << e.size() << "-byte command " << int(e[3]);
    }
    EXPECT_EQ(plat::KindOfPort(handle), plat::PortKind::kRfc2217);
}

TEST_F(NetPort, Rfc2217SendsNoSettingsToAServerThatRefusesComPortControl) {
    handle = Open("rfc2217://");
    server.Received(15);
    server.Forget();
    server.Send({kIac, kDont, 44});
    ASSERT_TRUE(plat::SetCommState(handle, plat::Dcb{}));
    EXPECT_EQ(plat::UnansweredSettings(handle), plat::kComPortRefused);
    uint32_t n = 0;
    const uint8_t frame[] = {0x01};
    ASSERT_TRUE(plat::WriteFile(handle, frame, sizeof frame, &n));
    EXPECT_EQ(server.Received(1), (Bytes{0x01})) << "no setting went out before the data";
}

// The open sets a 1000 ms read timeout (a ReOpenCom keeps it); the host's reply timeout, the
// open's bound, still holds a server that never settles COM port control.
TEST_F(NetPort, Rfc2217SettingsWaitNoLongerThanTheOpensBound) {
    handle = plat::CreateFileA(server.Url("rfc2217://").c_str(), 200);
    ASSERT_NE(handle, plat::kInvalidHandle) << plat::LastError();
    plat::CommTimeouts t;
    t.readTotalTimeoutConstant = 5000;
    ASSERT_TRUE(plat::SetCommTimeouts(handle, t));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(plat::SetCommState(handle, plat::Dcb{}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_EQ(plat::UnansweredSettings(handle), plat::kComPortRefused) << "none went out";
}

TEST_F(NetPort, Rfc2217DoublesIacBothWaysAndAnswersNegotiation) {
    handle = Open("rfc2217://");
    server.Received(15);
    server.Forget();
    uint32_t n = 0;
    const uint8_t frame[] = {0x01, 0xFF, 0x02};
    ASSERT_TRUE(plat::WriteFile(handle, frame, sizeof frame, &n));
    EXPECT_EQ(server.Received(4), (Bytes{0x01, 0xFF, 0xFF, 0x02}));
    server.Forget();
    // DO ECHO is refused; the data around it arrives undoubled.
    server.Send({0x41, kIac, kDo, 1, kIac, kIac, 0x42});
    uint8_t in[3] = {};
    ASSERT_TRUE(plat::ReadFile(handle, in, sizeof in, &n));
    EXPECT_EQ(Bytes(in, in + n), (Bytes{0x41, 0xFF, 0x42}));
    EXPECT_EQ(server.Received(3), (Bytes{kIac, kWont, 1}));
}

TEST_F(NetPort, LineStateNotificationsBecomeLineErrorsAndRawPortsHaveNone) {
    handle = Open("rfc2217://");
    plat::LineErrors e;
    EXPECT_FALSE(plat::TakeLineErrors(handle, &e)) << "no word from the server on line states";
    server.Send(ComPort(106, {kLineFraming | kLineBreak}));
    server.Send(ComPort(106, {kLineBreak})); // a break alone: a framing error all the same
    server.Send(ComPort(106, {kLineParity | kLineOverrun}));
    server.Send(ComPort(106, {0x60})); // the shift registers empty: no error
    server.Send(ComPort(102, {8}));    // SET-DATASIZE's answer: no line state, whatever its value
    uint8_t byte = 0;
    uint32_t n = 0;
    server.Send({0x11});
    ASSERT_TRUE(plat::ReadFile(handle, &byte, 1, &n)); // all that came before is decoded
    ASSERT_TRUE(plat::TakeLineErrors(handle, &e));
    EXPECT_EQ(e.framing, 2u) << "a break is a framing error, counted once with one";
    EXPECT_EQ(e.parity, 1u);
    EXPECT_EQ(e.overrun, 1u);
    ASSERT_TRUE(plat::TakeLineErrors(handle, &e));
    EXPECT_EQ(e.framing + e.parity + e.overrun, 0u) << "taken once";

    plat::Handle raw = plat::CreateFileA(server.Url("tcp://").c_str(), 2000);
    ASSERT_NE(raw, plat::kInvalidHandle);
    EXPECT_FALSE(plat::TakeLineErrors(raw, &e));
    EXPECT_EQ(plat::LastError(), plat::kErrorNotSupported);
    plat::CloseHandle(raw);
}

TEST_F(NetPort, PurgeDropsWhatArrivedAndAsksTheServerToo) {
    handle = Open("rfc2217://");
    server.Received(15);
    server.Send({0x01, 0x02, 0x03});
    uint32_t errors = 0;
    uint32_t queued = 0;
    for (int i = 0; i < 500 && queued < 3; ++i) {
        ASSERT_TRUE(plat::ClearCommError(handle, &errors, &queued));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(queued, 3u);
    server.Forget();
    ASSERT_TRUE(plat::PurgeComm(handle));
    ASSERT_TRUE(plat::ClearCommError(handle, &errors, &queued));
    EXPECT_EQ(queued, 0u);
    EXPECT_EQ(server.Received(7), ComPort(kPurgeData, {kPurgeReceiveBuffer}));
}

TEST_F(NetPort, AHostileServerHoldsAReadNoLongerThanItsTimeout) {
    handle = Open("rfc2217://");
    Bytes endless{kIac, kSb, 44};
    endless.insert(endless.end(), 20000, 0x55); // a subnegotiation that never ends
    server.Send(endless);
    uint8_t in[8];
    uint32_t n = 0;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(plat::ReadFile(handle, in, sizeof in, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

/// Descriptors open in this process.
int OpenDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

TEST_F(NetPort, ALostConnectionFailsEveryCallUntilReconnected) {
    const int descriptors = OpenDescriptors();
    handle = Open("tcp://");
    server.Send({0x01});
    uint8_t in[4];
    uint32_t n = 0;
    ASSERT_TRUE(plat::ReadFile(handle, in, 1, &n));
    server.DropClient();
    EXPECT_FALSE(plat::ReadFile(handle, in, sizeof in, &n));
    EXPECT_EQ(plat::LastError(), plat::net::kErrorConnectionClosed);
    EXPECT_TRUE(plat::ConnectionLost(handle));
    EXPECT_FALSE(plat::WriteFile(handle, in, 1, &n)) << "at once, as on an unplugged adapter";
    uint32_t errors = 0;
    EXPECT_FALSE(plat::ClearCommError(handle, &errors, &n)) << "gone, as ReOpenCom asks";
    EXPECT_EQ(OpenDescriptors(), descriptors) << "the lost connection's socket is closed";
    ASSERT_TRUE(plat::Reconnect(handle));
    EXPECT_FALSE(plat::ConnectionLost(handle));
    server.Send({0x07});
    ASSERT_TRUE(plat::ReadFile(handle, in, 1, &n));
    EXPECT_EQ(in[0], 0x07);
    // Bytes that the lost connection left unread are not the new connection's.
    server.Send({0x08, 0x09});
    for (int i = 0; i < 500 && n < 2; ++i) {
        ASSERT_TRUE(plat::ClearCommError(handle, &errors, &n));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(n, 2u) << "both in the input, neither read";
    server.DropClient();
    ASSERT_TRUE(plat::Reconnect(handle));
    server.Send({0x0A});
    ASSERT_TRUE(plat::ReadFile(handle, in, 1, &n));
    EXPECT_EQ(in[0], 0x0A);
    ASSERT_TRUE(plat::CloseHandle(handle));
    handle = 0;
    server.DropClient();
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST(NetPortHandles, OnlyTheirOwnRangeIsTakenForANetworkPort) {
    for (const plat::Handle h :
         {plat::netport::kFirstHandle - 1, plat::netport::kFirstHandle + plat::netport::kPorts}) {
        EXPECT_EQ(plat::KindOfPort(h), plat::PortKind::kDevice) << h;
        EXPECT_FALSE(plat::ConnectionLost(h)) << h;
        EXPECT_EQ(plat::UnansweredSettings(h), 0u) << h;
    }
}

TEST(NetPortOpen, FailsWithTheReasonAndWithinItsBound) {
    const struct {
        const char* name;
        uint32_t error;
        uint32_t orElse; ///< where the machine's name servers do not answer in time
    } cases[] = {
        {"tcp://no-such-host.invalid:502", plat::net::kErrorHostNotFound,
         plat::net::kErrorTryAgain},
        {"tcp://127.0.0.1:1", plat::net::kErrorConnectionRefused, 0},
        {"rfc2217://host", plat::kErrorInvalidName, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plat::CreateFileA(c.name, 500), plat::kInvalidHandle) << c.name;
        const uint32_t error = plat::LastError();
        EXPECT_TRUE(error == c.error || (c.orElse != 0 && error == c.orElse)) << c.name << error;
    }
}

/// A listening socket on the loopback with room for one waiting connection, which `Fill` takes:
/// then it drops every SYN, as a host that is down or filtered does.
struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int filler = -1;
    uint16_t port = 0;
    Listener() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd, 0), 0);
        EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length), 0);
        port = ntohs(a.sin_port);
    }
    void Fill() {
        filler = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        EXPECT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Listener() {
        close(filler);
        close(fd);
    }
};

TEST(NetConnect, AnAddressThatSwallowsItsSynsLeavesTimeForTheNext) {
    Listener silent;
    silent.Fill();
    Listener live;
    plat::net::AddressList list;
    uint32_t error = 0;
    plat::net::AddressList one;
    ASSERT_TRUE(plat::net::Resolve("127.0.0.1", silent.port, 100, &one, &error));
    list.at[list.count++] = one.at[0];
    ASSERT_TRUE(plat::net::Resolve("127.0.0.1", live.port, 100, &one, &error));
    list.at[list.count++] = one.at[0];
    plat::net::Connection c;
    ASSERT_TRUE(plat::net::Connect(list, 2000, &c, &error)) << error;
    plat::net::Close(c.socket);
}

} // namespace
} // namespace merix::test
