// A device and a port behind a device server open side by side: each handle's calls are
// answered by the table of its own kind, whichever was opened first.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/e2e/pty_pair.h"
#include "tests/e2e/scripted_server.h"

namespace merix::test {
namespace {

TEST(PortTables, ADeviceAndANetworkPortEachAnswerFromTheirOwn) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << "no pseudo-terminal available";
    ScriptedServer server;
    const plat::Handle net = plat::CreateFileA(server.Url("tcp://").c_str(), 2000);
    const plat::Handle device = plat::CreateFileA(pty.name().c_str());
    ASSERT_NE(net, plat::kInvalidHandle) << plat::LastError();
    ASSERT_NE(device, plat::kInvalidHandle) << plat::LastError();
    EXPECT_EQ(plat::KindOfPort(net), plat::PortKind::kRawTcp);
    EXPECT_EQ(plat::KindOfPort(device), plat::PortKind::kDevice);

    // What only a network port answers: a device is never lost, so never reconnected.
    EXPECT_FALSE(plat::ConnectionLost(device));
    plat::ClearLastError();
    EXPECT_FALSE(plat::Reconnect(device));
    EXPECT_EQ(plat::LastError(), plat::kErrorInvalidHandle);
    EXPECT_EQ(plat::UnansweredSettings(device), 0u);
    const char* name = nullptr;
    uint32_t code = 0;
    EXPECT_FALSE(plat::RefusedSocketOption(device, 0, &name, &code));

    // What the device server does itself succeeds on the network port and sends nothing: the
    // one byte written is all that reaches the server.
    EXPECT_TRUE(plat::SetupComm(net, 1200, 1200));
    EXPECT_TRUE(plat::EscapeCommFunction(net, plat::kSetRts));
    EXPECT_TRUE(plat::SetCommBreak(net));
    EXPECT_TRUE(plat::ClearCommBreak(net));
    const uint8_t byte = 0x5A;
    uint32_t written = 0;
    ASSERT_TRUE(plat::WriteFile(net, &byte, 1, &written));
    EXPECT_TRUE(plat::WaitWritten(net));
    EXPECT_EQ(server.Received(1), Bytes{0x5A});

    // The device's own calls reach the pseudo-terminal.
    ASSERT_TRUE(plat::WriteFile(device, &byte, 1, &written));
    EXPECT_TRUE(plat::WaitWritten(device));
    EXPECT_EQ(pty.Read(1), Bytes{0x5A});

    ASSERT_TRUE(plat::CloseHandle(net));
    plat::Dcb dcb;
    EXPECT_FALSE(plat::GetCommState(net, &dcb)) << "closed";
    EXPECT_EQ(plat::LastError(), plat::kErrorInvalidHandle);
    EXPECT_TRUE(plat::GetCommState(device, &dcb)) << "the device stays open";
    EXPECT_TRUE(plat::CloseHandle(device));
}

} // namespace
} // namespace merix::test
