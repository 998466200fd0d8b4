// Send and WaitIFG: line switching order, the timed hold, the gap and the CRC.
#include "serial/crc16.h"
#include "serial/line_direction.h"
#include "serial/transmitter.h"
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "test_support.h"

namespace merix::test {
namespace {

class TransmitterTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ColdStart(); // 9600 8E1 on COM1
        host->IFG = 0;
        fake::ClearCalls();
        qorlib::ClearLog();
    }

    std::vector<std::string> LineCalls() {
        std::vector<std::string> out;
        for (const auto& call : fake::Calls()) {
            if (call.rfind("EscapeCommFunction", 0) == 0 || call.rfind("WriteFile", 0) == 0) {
                out.push_back(call);
            }
        }
        return out;
    }

    int SendReadRequest() {
        uint8_t* tx = host->txBuf;
        const uint8_t request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
        std::memcpy(tx, request, sizeof request);
        return SendRequest(*host, host->txBuf, 6);
    }
};

TEST(Crc16, KnownVectors) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(digits, 9), 0x4B37);
    EXPECT_EQ(Crc16(digits, 0), 0xFFFF);
    EXPECT_EQ(Crc16(digits, -3), 0xFFFF);
    const uint8_t request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    EXPECT_EQ(Crc16(request, 6), 0xCDC5);
    EXPECT_TRUE(CrcMatches(request, 8));
    EXPECT_FALSE(CrcMatches(request, 1));
}

TEST_F(TransmitterTest, AppendsTheCrcLowByteFirstAndWritesTheWholeFrame) {
    EXPECT_EQ(SendReadRequest(), 0);
    ASSERT_EQ(fake::Written().size(), 1u);
    EXPECT_EQ(fake::Written()[0], (std::vector<uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A,
                                                        0xC5,    // CRC low
                                                        0xCD})); // CRC high
}

TEST_F(TransmitterTest, OneFrameMakesItsCallsInThisOrder) {
    host->IFG = 4;
    fake::SetCounter(1'000'000, 10'000); // one read of the counter passes the 8.2 ms hold
    EXPECT_EQ(SendReadRequest(), 0);
    EXPECT_EQ(fake::Calls(),
              (std::vector<std::string>{"Sleep(4)",                // the inter-frame gap
                                        "TakeLineErrors",          // on late bytes
                                        "ClearCommError",          // purge: nothing pending
                                        "TakeLineErrors",          // on bytes read away
                                        "EscapeCommFunction(5)",   // SETDTR: transmit
                                        "GetThreadPriority",       // saved
                                        "TimeBeginPeriod(1)",      //
                                        "SetThreadPriority(15)",   // time-critical
                                        "QueryPerformanceCounter", // T0
                                        "WriteFile(8)",            //
                                        "QueryPerformanceCounter", // T1: the hold starts
                                        "QueryPerformanceCounter", // past the planned end
                                        "EscapeCommFunction(6)",   // CLRDTR: receive
                                        "QueryPerformanceCounter", // T2
                                        "SetThreadPriority(0)",    // restored
                                        "TimeEndPeriod(1)"}));
}

struct SwitchCase {
    uint32_t sendMask;
    uint32_t recMask;
    std::vector<std::string> calls;
};

class LineSwitching : public TransmitterTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(LineSwitching, Order) {
    host->SendMask = GetParam().sendMask;
    host->RecMask = GetParam().recMask;
    SendReadRequest();
    EXPECT_EQ(LineCalls(), GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, LineSwitching,
    ::testing::Values(
        SwitchCase{0x0101, 0, {"EscapeCommFunction(5)", "WriteFile(8)", "EscapeCommFunction(6)"}},
        SwitchCase{0x0303,
                   0,
                   {"EscapeCommFunction(3)", "EscapeCommFunction(5)", "WriteFile(8)",
                    "EscapeCommFunction(6)", "EscapeCommFunction(4)"}},
        SwitchCase{
            0x0202, 0x0202, {"EscapeCommFunction(6)", "WriteFile(8)", "EscapeCommFunction(6)"}}));

TEST_F(TransmitterTest, HoldsTheLinesForTheFrameTimeOnTheCounter) {
    // 1 MHz counter, one tick a read: 8 chars x 1.1458 ms - 1 ms = 8.167 ms of busy-wait.
    fake::SetCounter(1'000'000, 1);
    host->debugFlag = 1;
    SendReadRequest();
    const auto reads = fake::CallsStartingWith("QueryPerformanceCounter").size();
    EXPECT_NEAR(static_cast<double>(reads), 8167.0, 3.0);
    EXPECT_NEAR(host->calcDelay, 8.168, 0.01);
    EXPECT_NEAR(host->pracDelay, 8.169, 0.01);
    EXPECT_EQ(fake::CurrentPriority(), 0) << "priority restored";
    EXPECT_EQ(fake::CallsStartingWith("TimeBeginPeriod").size(), 1u);
    EXPECT_EQ(fake::CallsStartingWith("TimeEndPeriod").size(), 1u);
}

TEST_F(TransmitterTest, FailingCounterEndsTheHold) {
    fake::FailNext("QueryPerformanceCounter", 1'000'000);
    EXPECT_EQ(SendReadRequest(), 0);
    EXPECT_EQ(LineCalls(), (std::vector<std::string>{"EscapeCommFunction(5)", "WriteFile(8)",
                                                     "EscapeCommFunction(6)"}));
    EXPECT_LE(fake::CallsStartingWith("QueryPerformanceCounter").size(), 4u);
}

TEST_F(TransmitterTest, NoCounterMeansNoCounterReadsAndDelaysKept) {
    host->perfFrequency = 0;
    host->calcDelay = 1.25f;
    host->pracDelay = 2.5f;
    EXPECT_EQ(SendReadRequest(), 0);
    EXPECT_TRUE(fake::CallsStartingWith("QueryPerformanceCounter").empty());
    EXPECT_EQ(host->calcDelay, 1.25f);
    EXPECT_EQ(host->pracDelay, 2.5f);
}

TEST_F(TransmitterTest, NegativeHoldSkipsTheWaitAndSaysSoWhenDebugging) {
    host->fDelay = -100.0f;
    host->debugFlag = 1;
    SendReadRequest();
    EXPECT_TRUE(qorlib::Logged("MERIX> No Delay for DTR signal", kLogDetail));
    EXPECT_LE(fake::CallsStartingWith("QueryPerformanceCounter").size(), 2u);
}

TEST_F(TransmitterTest, FailedWriteStillSwitchesBackAndRestoresPriority) {
    fake::FailNext("WriteFile");
    EXPECT_EQ(SendReadRequest(), 1);
    EXPECT_EQ(LineCalls(), (std::vector<std::string>{"EscapeCommFunction(5)", "WriteFile(8)",
                                                     "EscapeCommFunction(6)"}));
    EXPECT_EQ(fake::CurrentPriority(), 0);
    EXPECT_TRUE(qorlib::Logged("MERIX> Send(), RukComWrite() returned 1", kLogDetail));
}

TEST_F(TransmitterTest, ShortWriteIsAFailure) {
    fake::ShortWriteNext(5);
    EXPECT_EQ(SendReadRequest(), 1);
}

TEST_F(TransmitterTest, PriorityFailuresAreLoggedAndTheFrameStillGoes) {
    fake::SetPriorityResult(0);
    EXPECT_EQ(SendReadRequest(), 0);
    EXPECT_TRUE(qorlib::Logged("MERIX> Send() ERROR setting priority, rc 0", kLogDetail));
    EXPECT_TRUE(qorlib::Logged("MERIX> Send() ERROR !!! RESETTING PRIORITY !!", kLogDetail));
}

TEST_F(TransmitterTest, RefusesAFrameWithNoRoomForTheCrc) {
    uint8_t small[8] = {};
    EXPECT_EQ(SendRequest(*host, small, 7), 1);
    EXPECT_TRUE(fake::Written().empty());
}

TEST_F(TransmitterTest, ZeroGapSkipsTheWait) {
    SendReadRequest();
    EXPECT_TRUE(fake::CallsStartingWith("Sleep").empty());
}

TEST_F(TransmitterTest, GapRepeatsTheSleepWhileACoarseClockShowsTooLittle) {
    host->IFG = 20;
    host->debugFlag = 1;
    fake::SetClockGranularity(16); // a 16 ms tick, as on an old Windows timer
    WaitIFG(*host);
    // 20 ms elapse but the clock shows 16: one more sleep; after 40 it shows 32.
    EXPECT_EQ(fake::CallsStartingWith("Sleep"),
              (std::vector<std::string>{"Sleep(20)", "Sleep(20)"}));
    EXPECT_TRUE(qorlib::Logged("MERIX> IFG continue (16ms < 20ms)", kLogDetail));
}

TEST_F(TransmitterTest, LongestGapEndsAfterOneSleep) {
    host->IFG = 65535; // 65.6 s on the clock: more than a 16-bit count of milliseconds holds
    WaitIFG(*host);
    EXPECT_EQ(fake::CallsStartingWith("Sleep"), std::vector<std::string>{"Sleep(65535)"});
}

TEST_F(TransmitterTest, RetryGapPutsTheConfiguredGapBack) {
    host->IFG = 7;
    WaitGap(*host, kRetryGapMs);
    EXPECT_EQ(fake::CallsStartingWith("Sleep"), std::vector<std::string>{"Sleep(50)"});
    EXPECT_EQ(host->IFG, 7);
}

// RS485 = ON: the port switches the line itself where it can, and the driver where it cannot.
class Rs485Test : public InDirTest {
protected:
    void StartRs485(bool portTakesIt, bool confirmed = true) {
        fake::SetRs485Supported(portTakesIt);
        fake::SetConfirmsLineModes(confirmed);
        WriteFile("MERIX01.INI", "RS485 = ON\n");
        ASSERT_EQ(ColdStart(), 0);
        host->IFG = 0;
        fake::ClearWritten();
    }
    int SendReadRequest() {
        const uint8_t request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
        std::memcpy(host->txBuf, request, sizeof request);
        return SendRequest(*host, host->txBuf, 6);
    }
};

TEST_F(Rs485Test, APortThatTakesTheModeSendsWithoutSwitchingOrBusyWait) {
    StartRs485(true);
    EXPECT_TRUE(qorlib::Logged(
        "MERIX> OpenSavedPort() RS485: COM1 switches the line direction itself", kLogError));
    EXPECT_EQ(fake::CommState().fRtsControl, plat::kRtsToggle);
    EXPECT_EQ(SendReadRequest(), 0);
    EXPECT_EQ(fake::Calls(),
              (std::vector<std::string>{"TakeLineErrors",             // on late bytes
                                        "ClearCommError",             // purge
                                        "TakeLineErrors",             // on bytes read away
                                        "QueryPerformanceCounter",    // T0
                                        "WriteFile(8)",               //
                                        "QueryPerformanceCounter",    // the write returned
                                        "WaitWritten",                // what the system knows
                                        "QueryPerformanceCounter",    //
                                        "Sleep(12)",                  // (8 + 1) x 1.146 + 1 ms
                                        "QueryPerformanceCounter",    // past the frame's end
                                        "QueryPerformanceCounter"})); // T2
    EXPECT_GE(host->pracDelay, host->calcDelay);
    EXPECT_NEAR(host->calcDelay, 9 * 1.1458 + 1.0, 0.01);
}

TEST_F(Rs485Test, APortThatRefusesItIsSwitchedByTheDriver) {
    fake::SetRs485Supported(false, 1); // as SerCx's 16550 driver refuses it: ERROR_INVALID_FUNCTION
    WriteFile("MERIX01.INI", "RS485 = ON\n");
    ASSERT_EQ(ColdStart(), 0);
    fake::ClearWritten();
    EXPECT_TRUE(qorlib::Logged("MERIX> OpenSavedPort() RS485: COM1 cannot switch the line "
                               "direction (system error 1), the driver switches DTR/RTS",
                               kLogError));
    EXPECT_NE(fake::CommState().fRtsControl, plat::kRtsToggle);
    EXPECT_EQ(SendReadRequest(), 0);
    EXPECT_EQ(fake::CallsStartingWith("EscapeCommFunction"),
              (std::vector<std::string>{"EscapeCommFunction(5)", "EscapeCommFunction(6)"}));
    EXPECT_EQ(fake::CallsStartingWith("SetThreadPriority").size(), 2u);
    EXPECT_TRUE(fake::CallsStartingWith("WaitWritten").empty());
}

// Whoever turns the line around, the gap before the next request, the reply timeout and the
// turnaround count from the end of the frame on the wire, not from a write that returned
// while the UART still had the frame to send (Windows).
struct FrameEndCase {
    bool portSwitched;
    uint64_t writeDelayUs; ///< between the mark before the write and its first byte
};
class FrameEnd : public Rs485Test, public ::testing::WithParamInterface<FrameEndCase> {};

TEST_P(FrameEnd, TheNextRequestAndTheTurnaroundCountFromTheFramesEnd) {
    const bool portSwitched = GetParam().portSwitched;
    constexpr uint64_t kTurnaroundUs = 5000;
    fake::PaceReplies(kTurnaroundUs);
    StartRs485(portSwitched);
    fake::DelayWrites(GetParam().writeDelayUs);
    host->IFG = 4;
    AccessGate time("$TIME", 0, 3, 0xFFFC);
    time.SetWord(1);
    ASSERT_EQ(Call(kSingleWrite, &time.rec), 0); // 13 bytes: 14.9 ms on the wire at 9600 8E1
    fake::QueueReply(WithCrc({0x01, 0x03, 0x02, 0x12, 0x34}));
    AccessGate gate("01300100", 1, 3, 100);
    ASSERT_EQ(Call(kSingleRead, &gate.rec), 0);

    const auto& wire = fake::WireTimes();
    ASSERT_EQ(wire.size(), 2u);
    // The driver's own hold ends fDelay (-1 ms) before the frame's computed end.
    const uint64_t gapUs = wire[1].startUs - wire[0].endUs;
    EXPECT_GE(gapUs, portSwitched ? 4000u : 3000u) << "the broadcast and the request stay apart";
    const uint32_t turn = ReadLineCounter(*host, 1, LineCounter::kTurnaround).value_or(0);
    EXPECT_GE(turn, kTurnaroundUs - 3000) << "no more than the hold's margins are taken off";
    EXPECT_LE(turn, kTurnaroundUs + 1500) << "the request's own time is not counted";
}

INSTANTIATE_TEST_SUITE_P(SwitchedByThePortOrTheDriver, FrameEnd,
                         ::testing::Values(FrameEndCase{false, 0}, FrameEndCase{true, 0},
                                           // a write call that returns late
                                           FrameEndCase{true, 10'000}));

TEST_F(Rs485Test, ARequestThatNeverLeavesThePortFailsTheSend) {
    StartRs485(true);
    fake::FailNext("WaitWritten", 1, plat::kErrorSemTimeout);
    EXPECT_EQ(SendReadRequest(), 1);
    EXPECT_TRUE(qorlib::Logged("MERIX> Send() the request did not leave the port within its "
                               "write timeout, system error 121",
                               kLogDetail));
}

TEST_F(Rs485Test, WithoutAnOpenPortOrWithoutRoomTheDriverSwitches) {
    WriteFile("MERIX01.INI", "RS485 = ON\n");
    fake::SetRs485Supported(true);
    ASSERT_EQ(ColdStart(9600, 8, 0, 2, 0), 0);
    EXPECT_EQ(LineDirectionOf(*host), LineDirection::kDriverSwitched) << "never opened";
    HostContext neverStarted;
    EXPECT_EQ(LineDirectionOf(*neverStarted), LineDirection::kDriverSwitched) << "no room";
}

TEST_F(Rs485Test, AModeTakenAndIgnoredIsNamedAndFiveSilentTransactionsGetTheHint) {
    fake::SetRs485Ignored(true);
    StartRs485(false, false);
    EXPECT_TRUE(qorlib::Logged("MERIX> OpenSavedPort() RS485: COM1 reads back "
                               "RTS_CONTROL_TOGGLE, but the system cannot confirm that its "
                               "driver switches the line direction; if no station answers, set "
                               "RS485 = OFF",
                               kLogError));
    const std::string hint = "MERIX> RS485: no station has answered COM1 in 5 transactions since "
                             "the open; if its driver ignores RTS_CONTROL_TOGGLE, set RS485 = OFF";
    AccessGate gate("01300100", 1, 3, 100);
    for (int i = 0; i < 6; ++i) {
        fake::QueueReply(WithCrc({0x01, 0x03, 0x02, 0x12, 0x34})); // sent, never heard
        host->plcState[1] = kCommunicating;
        EXPECT_EQ(Call(kSingleRead, &gate.rec), 2);
        EXPECT_EQ(qorlib::Logged(hint, kLogError), i >= 4) << "after transaction " << i + 1;
    }
    int hints = 0;
    for (const auto& text : LogTexts()) {
        hints += text == hint;
    }
    EXPECT_EQ(hints, 1) << "once per open";
}

// Only a port asked to switch the line itself can ignore it: a silent line that the driver
// switches gets no hint.
TEST_F(DriverTest, ASilentLineTheDriverSwitchesGetsNoRs485Hint) {
    ASSERT_EQ(ColdStart(), 0);
    AccessGate gate("01300100", 1, 3, 100);
    for (int i = 0; i < 6; ++i) {
        host->plcState[1] = kCommunicating;
        EXPECT_EQ(Call(kSingleRead, &gate.rec), 2);
    }
    for (const auto& text : LogTexts()) {
        EXPECT_EQ(text.rfind("MERIX> RS485:", 0), std::string::npos) << text;
    }
}

} // namespace
} // namespace merix::test
