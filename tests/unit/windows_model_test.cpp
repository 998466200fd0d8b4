// What Windows does and Wine does not, on the fake platform's model of it: the timer tick
// under Sleep, unplugged adapters, stalled writes, refused framings and failing calls.
#include <algorithm>

#include "driver/port_lifecycle.h"
#include "serial/com_port.h"
#include "serial/transmitter.h"
#include "services/host_log.h"
#include "test_support.h"

namespace merix::test {
namespace {

constexpr uint64_t kTickUs = 15'625;

class WindowsModelTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        fake::SetWindowsSleep(true);
    }

    int SendReadRequest() {
        const uint8_t request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
        std::memcpy(host->txBuf, request, sizeof request);
        return SendRequest(*host, host->txBuf, 6);
    }
};

struct Spread {
    uint64_t minUs = UINT64_MAX;
    uint64_t maxUs = 0;
};

/// The wait measured from every start within one default tick, 125 us apart: the gap when
/// `pauseMs` is 0, else the retry pause of that length.
Spread Measure(DriverContext& ctx, uint16_t pauseMs) {
    Spread spread;
    for (uint64_t phase = 0; phase < kTickUs; phase += 125) {
        const uint64_t now = fake::ClockMicros();
        fake::AdvanceMicros((now / kTickUs + 1) * kTickUs + phase - now);
        const uint64_t start = fake::ClockMicros();
        if (pauseMs == 0) {
            WaitIFG(ctx);
        } else {
            WaitGap(ctx, pauseMs);
        }
        const uint64_t took = fake::ClockMicros() - start;
        spread.minUs = std::min(spread.minUs, took);
        spread.maxUs = std::max(spread.maxUs, took);
    }
    return spread;
}

TEST_F(WindowsModelTest, WithThePortOpenA4msGapTakes4To5msAndARetryPause50To51ms) {
    ColdStart(); // 9600 8E1: IFG 4 ms
    ASSERT_EQ(host->IFG, 4);
    EXPECT_EQ(fake::TimerPeriodRaises(), 1) << "the 1 ms period is held while the port is open";
    const Spread gap = Measure(*host, 0);
    EXPECT_GE(gap.minUs, 4000u);
    EXPECT_LE(gap.maxUs, 5000u);
    const Spread pause = Measure(*host, kRetryGapMs);
    EXPECT_GE(pause.minUs, 50'000u);
    EXPECT_LE(pause.maxUs, 51'000u);
}

TEST_F(WindowsModelTest, OnTheDefaultTickTheSameWaitsStretchToTicks) {
    // What the frame's own raise alone left: the gap and the pause ran on the 15.6 ms tick.
    DriverContext& ctx = *host;
    ctx.IFG = 4;
    ctx.debugFlag = 0;
    ASSERT_EQ(fake::TimerPeriodRaises(), 0);
    const Spread gap = Measure(ctx, 0);
    // A Sleep that ends early can still pass the millisecond clock's check: the shortest
    // gap is under 4 ms, the longest more than a tick.
    EXPECT_GE(gap.minUs, 3000u);
    EXPECT_GE(gap.maxUs, kTickUs) << "a 4 ms gap took up to " << gap.maxUs << " us";
    const Spread pause = Measure(ctx, kRetryGapMs);
    EXPECT_GE(pause.maxUs, 62'500u) << "a 50 ms pause took up to " << pause.maxUs << " us";
}

TEST_F(WindowsModelTest, TimerPeriodIsRaisedAtOpenAndLoweredAtCloseInPairs) {
    ColdStart(9600, 8, 0, 2, 0); // no open
    EXPECT_EQ(fake::TimerPeriodRaises(), 0);
    ColdStart();
    EXPECT_EQ(fake::TimerPeriodRaises(), 1);
    EXPECT_EQ(SendReadRequest(), 0);
    EXPECT_EQ(fake::TimerPeriodRaises(), 1) << "the frame's own pair stays balanced";
    EXPECT_EQ(Call(kReOpenCom), 2); // a live port: Windows refuses a second open
    EXPECT_EQ(fake::TimerPeriodRaises(), 1);
    ChangeParams cp{};
    std::snprintf(cp.portName, sizeof cp.portName, "COM2");
    EXPECT_EQ(Call(kChangeVpiParams, &cp), 0);
    EXPECT_EQ(fake::TimerPeriodRaises(), 1);
    EXPECT_EQ(Call(kCloseCom), 0);
    EXPECT_EQ(fake::TimerPeriodRaises(), 0);
    EXPECT_EQ(Call(kCloseCom), 0);
    EXPECT_EQ(fake::TimerPeriodRaises(), 0);
    EXPECT_EQ(Call(kReOpenCom), 0);
    EXPECT_EQ(fake::TimerPeriodRaises(), 1);
    EXPECT_EQ(Call(kEndVpi), 0);
    EXPECT_EQ(fake::TimerPeriodRaises(), 0);
}

TEST_F(WindowsModelTest, FailedOpensRaiseNothingAndEndVpiLowersAPortThatWouldNotClose) {
    fake::SetExistingPorts({"COM2"});
    ColdStart();
    EXPECT_EQ(fake::TimerPeriodRaises(), 0);
    EXPECT_TRUE(qorlib::Logged("MERIX> OpenSavedPort() COM1 not opened, code 1, system error 2",
                               kLogDetail));
    fake::SetExistingPorts({});
    ColdStart();
    fake::FailNext("CloseHandle", 2, plat::kErrorInvalidHandle);
    EXPECT_EQ(Call(kCloseCom), 2);
    EXPECT_TRUE(qorlib::Logged("MERIX> CloseCom() hf=100 not closed, system error 6", kLogDetail));
    EXPECT_EQ(fake::TimerPeriodRaises(), 1);
    EXPECT_EQ(Call(kEndVpi), 2);
    EXPECT_EQ(fake::TimerPeriodRaises(), 0);
}

TEST_F(WindowsModelTest, AnUnplugKillsOnlyItsOwnPortsHandlesUntilTheyAreClosed) {
    ColdStart();
    plat::Handle other = 0;
    ASSERT_EQ(ComOpen("COM2", PortSettings{9600, 8, 0, 2}, 0, &other), kComOk);
    fake::Unplug("COM1", plat::kErrorGenFailure);
    fake::Replug("COM1");
    EXPECT_TRUE(ComGone(host->hf)) << "the removed device's handle stays dead";
    EXPECT_EQ(plat::LastError(), plat::kErrorGenFailure);
    EXPECT_FALSE(ComGone(other));
    plat::Handle again = 0;
    EXPECT_EQ(ComOpen("COM1", PortSettings{9600, 8, 0, 2}, 0, &again), kComOk) << "a new device";
    EXPECT_EQ(fake::OpenHandles(), 3);
}

TEST_F(WindowsModelTest, ReOpenComClosesTheHandleOfAnUnpluggedAdapterAndOpensItAgain) {
    ColdStart();
    const uint32_t dead = host->hf;
    fake::Unplug();
    EXPECT_EQ(SendReadRequest(), 1);
    EXPECT_TRUE(qorlib::Logged("MERIX> Send() WriteFile failed, system error 22", kLogDetail));
    fake::ClearCalls();
    qorlib::ClearLog();
    EXPECT_EQ(Call(kReOpenCom), 2); // still unplugged
    EXPECT_EQ(fake::CallsStartingWith("CloseHandle").size(), 1u);
    EXPECT_TRUE(qorlib::Logged("MERIX> ReOpenCom() port of hf=" + std::to_string(dead) +
                                   " is gone, system error 22: closing it",
                               kLogDetail));
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{2030});
    EXPECT_EQ(host->hf, 0u);
    EXPECT_EQ(fake::TimerPeriodRaises(), 0);

    fake::Replug();
    EXPECT_EQ(Call(kReOpenCom), 0);
    EXPECT_NE(host->hf, 0u);
    EXPECT_EQ(host->comOn, 1u);
    EXPECT_EQ(fake::TimerPeriodRaises(), 1);
    EXPECT_EQ(SendReadRequest(), 0);
}

TEST_F(WindowsModelTest, ReOpenComLeavesALivePortAlone) {
    ColdStart();
    const uint32_t hf = host->hf;
    fake::ClearCalls();
    EXPECT_EQ(Call(kReOpenCom), 2) << "the port is open: Windows refuses a second open";
    EXPECT_TRUE(fake::CallsStartingWith("CloseHandle").empty());
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{2030});
    EXPECT_EQ(host->hf, hf);
    EXPECT_EQ(SendReadRequest(), 0);
}

TEST_F(WindowsModelTest, AWriteToAStalledPortEndsWithinItsBound) {
    ColdStart(); // 9600 8E1: 2 ms a byte, rounded up, and the 100 ms margin
    EXPECT_EQ(fake::Timeouts().writeTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(fake::Timeouts().writeTotalTimeoutConstant, kWriteMarginMs);
    host->IFG = 0;
    fake::StallWrites();
    qorlib::ClearLog();
    const uint64_t start = fake::ClockMicros();
    EXPECT_EQ(SendReadRequest(), 1);
    const uint64_t took = fake::ClockMicros() - start;
    // The bound, and the 8.2 ms hold that follows the write on a line the driver switches.
    EXPECT_LE(took, (8u * 2u + kWriteMarginMs) * 1000u + 9200u);
    EXPECT_EQ(fake::CurrentPriority(), 0) << "the priority is restored";
    EXPECT_TRUE(qorlib::Logged("MERIX> Send() WriteFile wrote 0 of 8 bytes", kLogDetail));
    EXPECT_TRUE(qorlib::Logged("MERIX> Send(), RukComWrite() returned 1", kLogDetail));
}

TEST_F(WindowsModelTest, WithoutWriteTimeoutsAStalledPortNeverLetsGo) {
    ColdStart();
    host->IFG = 0;
    plat::CommTimeouts none;
    none.readTotalTimeoutConstant = 200;
    ASSERT_TRUE(plat::SetCommTimeouts(host->hf, none));
    fake::StallWrites();
    const uint64_t start = fake::ClockMicros();
    EXPECT_EQ(SendReadRequest(), 1);
    EXPECT_GE(fake::ClockMicros() - start, fake::kStalledForeverMs * 1000);
}

TEST_F(WindowsModelTest, EightDataBitsWithOneAndAHalfStopBitsAreRefusedWithAReason) {
    ColdStart(9600, 8, 1, 2);
    EXPECT_TRUE(qorlib::Logged("MERIX> ComOpen() COM1: 8 data bits with 1.5 stop bits refused, "
                               "Windows does not support that combination",
                               kLogError));
    EXPECT_TRUE(fake::CallsStartingWith("SetCommState").empty());
    EXPECT_FALSE(fake::PortOpen());
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{2010});
    EXPECT_EQ(fake::TimerPeriodRaises(), 0);
}

TEST_F(WindowsModelTest, TheFakeSetCommStateRefusesThemToo) {
    ColdStart();
    struct Refused {
        uint8_t byteSize, stopBits, parity;
    };
    for (const Refused r : {Refused{5, 2, 0}, Refused{9, 0, 0}, Refused{4, 0, 0}, Refused{8, 3, 0},
                            Refused{8, 0, 5}}) {
        plat::Dcb dcb = fake::CommState();
        dcb.byteSize = r.byteSize;
        dcb.stopBits = r.stopBits;
        dcb.parity = r.parity;
        EXPECT_FALSE(plat::SetCommState(host->hf, dcb)) << int{r.byteSize};
        EXPECT_EQ(plat::LastError(), plat::kErrorInvalidParameter);
    }
}

TEST_F(WindowsModelTest, AnOpenPortCannotBeOpenedAgain) {
    ColdStart();
    EXPECT_EQ(plat::CreateFileA("COM1"), plat::kInvalidHandle);
    EXPECT_EQ(plat::LastError(), plat::kErrorAccessDenied);
    EXPECT_NE(plat::CreateFileA("COM2"), plat::kInvalidHandle);
}

TEST_F(WindowsModelTest, APriorityThatCannotBeReadIsNotRaised) {
    ColdStart();
    host->IFG = 0;
    fake::ClearCalls();
    qorlib::ClearLog();
    fake::FailNext("GetThreadPriority", 1, plat::kErrorAccessDenied);
    EXPECT_EQ(SendReadRequest(), 0);
    EXPECT_TRUE(fake::CallsStartingWith("SetThreadPriority").empty());
    EXPECT_EQ(fake::CallsStartingWith("TimeBeginPeriod").size(), 1u);
    EXPECT_EQ(fake::CallsStartingWith("TimeEndPeriod").size(), 1u);
    EXPECT_EQ(fake::CurrentPriority(), 0);
    EXPECT_TRUE(qorlib::Logged("MERIX> Send() ERROR reading priority, system error 5: not raised",
                               kLogDetail));
}

} // namespace
} // namespace merix::test
