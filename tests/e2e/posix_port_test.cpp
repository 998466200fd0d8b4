// The POSIX backend and the port lifecycle on real pseudo-terminals.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "driver/library_state.h"
#include "host/qorlib_control.h"
#include "merix/vpi.h"
#include "pty_pair.h"
#include "serial/com_port.h"

namespace merix::test {
namespace {

using Clock = std::chrono::steady_clock;

class PosixPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << "no pseudo-terminal available";
        ResetLibraryStateForTests();
        qorlib::Reset();
    }
    plat::Handle Open() {
        plat::Handle h = 0;
        EXPECT_EQ(ComOpen(pty.name().c_str(), PortSettings{9600, 8, 0, 2}, 0, &h), kComOk);
        return h;
    }
    PtyPair pty;
};

TEST_F(PosixPortTest, OpenConfiguresAndIsExclusive) {
    const plat::Handle h = Open();
    EXPECT_NE(h, 0u);
    EXPECT_NE(h, plat::kInvalidHandle);
    plat::Handle second = 0;
    EXPECT_EQ(ComOpen(pty.name().c_str(), PortSettings{9600, 8, 0, 2}, 0, &second), kComOpenFailed);
    EXPECT_EQ(second, plat::kInvalidHandle);
    plat::Dcb dcb;
    ASSERT_TRUE(plat::GetCommState(h, &dcb));
    EXPECT_EQ(dcb.baudRate, 9600u);
    EXPECT_EQ(dcb.byteSize, 8);
    EXPECT_EQ(ComClose(h), kComOk);
    EXPECT_EQ(ComOpen(pty.name().c_str(), PortSettings{9600, 8, 0, 2}, 0, &second), kComOk)
        << "free again after the close";
    ComClose(second);
}

TEST_F(PosixPortTest, UnknownRateAndMissingDeviceFail) {
    plat::Handle h = 0;
    EXPECT_EQ(ComOpen(pty.name().c_str(), PortSettings{12345, 8, 0, 2}, 0, &h), kComSetStateFailed);
    ComClose(h);
    EXPECT_EQ(ComOpen("ttyDOESNOTEXIST", PortSettings{9600, 8, 0, 2}, 0, &h), kComOpenFailed);
    EXPECT_EQ(ComOpen("NUL", PortSettings{9600, 8, 0, 2}, 0, &h), kComOk);
    ComClose(h);
}

TEST_F(PosixPortTest, ReadReturnsAllBytesAtOnceOrWhatArrivedByTheTotalTimeout) {
    const plat::Handle h = Open();
    ComSetTimeout(h, 200); // 2 s: far apart from "at once" even on a loaded machine
    uint8_t buf[8];
    uint32_t n = 0;
    pty.Write({1, 2, 3, 4, 5, 6, 7, 8});
    auto start = Clock::now();
    EXPECT_EQ(ComRead(h, buf, 8, &n), kComOk);
    EXPECT_EQ(n, 8u);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500)) << "no wait when all arrived";

    pty.Write({9});
    start = Clock::now();
    EXPECT_EQ(ComRead(h, buf, 3, &n), kComOk);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(buf[0], 9);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1990))
        << "the short count waits the timeout";

    start = Clock::now();
    EXPECT_EQ(ComRead(h, buf, 3, &n), kComFailed);
    EXPECT_EQ(n, 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1990));
    ComClose(h);
}

TEST_F(PosixPortTest, TimeoutCountsFromTheCallNotFromTheLastByte) {
    const plat::Handle h = Open();
    ComSetTimeout(h, 40); // 400 ms
    std::thread trickle([this] {
        for (int i = 0; i < 6; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pty.Write({static_cast<uint8_t>(i)});
        }
    });
    uint8_t buf[10];
    uint32_t n = 0;
    const auto start = Clock::now();
    ComRead(h, buf, 10, &n);
    const auto took = Clock::now() - start;
    trickle.join();
    EXPECT_LT(n, 6u);
    EXPECT_LT(took, std::chrono::milliseconds(1500)) << "bytes arriving must not extend the read";
    ComClose(h);
}

TEST_F(PosixPortTest, PurgeThrowsAwayPendingInput) {
    const plat::Handle h = Open();
    ComSetTimeout(h, 20);
    pty.Write(std::vector<uint8_t>(600, 0x55));
    // Wait until the bytes are in the input queue (generous, never a fixed sleep).
    uint32_t errors = 0;
    uint32_t pending = 0;
    for (int i = 0; i < 500 && pending < 600; ++i) {
        plat::ClearCommError(h, &errors, &pending);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(pending, 600u);
    EXPECT_EQ(ComPurge(h), 0);
    plat::ClearCommError(h, &errors, &pending);
    EXPECT_EQ(pending, 0u);
    plat::CommTimeouts t;
    plat::GetCommTimeouts(h, &t);
    EXPECT_EQ(t.readTotalTimeoutConstant, 200u) << "the reply timeout is put back";
    ComClose(h);
}

TEST_F(PosixPortTest, WriteReachesTheOtherSide) {
    const plat::Handle h = Open();
    uint32_t n = 0;
    const uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    EXPECT_EQ(ComWrite(h, frame, sizeof frame, &n), kComOk);
    EXPECT_EQ(pty.Read(8), std::vector<uint8_t>(frame, frame + 8));
    ComClose(h);
}

class LifecyclePty : public PosixPortTest {
protected:
    int32_t Call(uint32_t command, void* params = nullptr) {
        CallBlock cb{&ctx, command, 1, 0, params};
        return VpiMain(&cb);
    }
    DriverContext ctx{};
};

TEST_F(LifecyclePty, ColdStartCloseComAndReOpenComOnAPseudoTerminal) {
    StartParams sp{};
    ASSERT_LT(pty.name().size(), sizeof sp.portName) << "pty name does not fit a port name";
    std::memcpy(sp.portName, pty.name().c_str(), pty.name().size() + 1);
    sp.comOn = 1;
    sp.replyTimeout = 25;
    sp.baud = 19200;
    sp.dataBits = 8;
    sp.parity = 2;
    EXPECT_EQ(Call(kColdStart, &sp), 0);
    ASSERT_NE(ctx.hf, 0u);
    plat::CommTimeouts t;
    ASSERT_TRUE(plat::GetCommTimeouts(ctx.hf, &t));
    EXPECT_EQ(t.readTotalTimeoutConstant, 250u);
    plat::Dcb dcb;
    ASSERT_TRUE(plat::GetCommState(ctx.hf, &dcb));
    EXPECT_EQ(dcb.baudRate, 19200u);

    EXPECT_EQ(Call(kCloseCom), 0);
    EXPECT_EQ(ctx.hf, 0u);
    EXPECT_EQ(Call(kReOpenCom), 0);
    EXPECT_NE(ctx.hf, 0u);
    EXPECT_EQ(ctx.comOn, 1u);
    EXPECT_EQ(Call(kEndVpi), 0);
    EXPECT_EQ(ctx.hf, 0u);
}

} // namespace
} // namespace merix::test
