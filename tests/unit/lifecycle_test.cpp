// Port lifecycle commands through VpiMain on the fake platform.
#include <cmath>

#include "serial/line_trace.h"
#include "services/host_log.h"
#include "test_support.h"

namespace merix::test {
namespace {

class LifecycleTest : public DriverTest {};

struct TimingCase {
    uint16_t baud;
    int16_t dataBits, stopBits, parity;
    float msecPerChar;
    uint16_t ifg;
    float fDelay;
    const char* logged;
};

class ColdStartTiming : public LifecycleTest, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(ColdStartTiming, ComputesCharacterTimeGapAndHoldCorrection) {
    const TimingCase& c = GetParam();
    EXPECT_EQ(ColdStart(c.baud, c.dataBits, c.stopBits, c.parity, 0), 0);
    EXPECT_NEAR(host->msecPerChar, c.msecPerChar, 0.0005);
    EXPECT_EQ(host->IFG, c.ifg);
    EXPECT_EQ(host->fDelay, c.fDelay);
    EXPECT_TRUE(qorlib::Logged(c.logged, kLogDetail)) << c.logged;
}

INSTANTIATE_TEST_SUITE_P(
    Rates, ColdStartTiming,
    ::testing::Values(TimingCase{9600, 8, 0, 2, 1.1458f, 4, -1.0f,
                                 "MERIX> Theoretecly # msec per character = 1.146"},
                      TimingCase{57600, 8, 0, 0, 0.1736f, 1, 0.0f,
                                 "MERIX> Theoretecly # msec per character = 0.174"},
                      TimingCase{2400, 8, 2, 2, 5.0f, 17, -0.5f,
                                 "MERIX> Theoretecly # msec per character = 5.000"},
                      TimingCase{38400, 8, 0, 2, 0.2865f, 1, -0.5f,
                                 "MERIX> Theoretecly # msec per character = 0.286"},
                      TimingCase{19200, 7, 1, 1, 0.5469f, 1, -1.0f,
                                 "MERIX> Theoretecly # msec per character = 0.547"},
                      TimingCase{1, 8, 2, 2, 12000.0f, 5000, -0.5f,
                                 "MERIX> Theoretecly # msec per character = 12000.000"}));

TEST_F(LifecycleTest, ColdStartGivesTheStartingValues) {
    ColdStart(9600, 8, 0, 2, 1, "COM1", 30);
    for (int s = 0; s < kStationCount; ++s) {
        EXPECT_EQ(host->plcState[s], kCommunicating);
        EXPECT_EQ(host->fEF[s], 1u);
        EXPECT_EQ(host->ovfPending[s], 0u);
        EXPECT_EQ(host->eventCount[s], 0u);
        EXPECT_EQ(host->evtConflictAlert[s], kNoAlert);
        EXPECT_EQ(host->ovfAlert[s], kNoAlert);
    }
    EXPECT_EQ(host->SendMask, 0x0101u);
    EXPECT_EQ(host->RecMask, 0u);
    EXPECT_EQ(host->vpiNumber, 1u);
    EXPECT_EQ(host->debugFlag, 0);
    EXPECT_EQ(host->fReadEvent, 0u) << "the host's memory held a marker";
    EXPECT_NE(host->hf, 0u);
    EXPECT_EQ(host->perfFrequency, 1'000'000);
    EXPECT_STREQ(host->portParams.portName, "COM1");
    EXPECT_EQ(host->portParams.baud, 9600);
    EXPECT_EQ(host->portParams.parity, 2);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 300u);
    EXPECT_TRUE(qorlib::Logged("MERIX> ColdStart(), Data 8, SB 0, P 2, Baud 9600", kLogDetail));
    EXPECT_TRUE(qorlib::Logged("MERIX> version compiled on Nov 24 2002 at time 17:08:47"));
}

TEST_F(LifecycleTest, ColdStartWithoutOpenLeavesThePortAndItsParametersAlone) {
    const DriverContext before = *host;
    ColdStart(9600, 8, 0, 2, 0);
    EXPECT_EQ(std::memcmp(&before.portParams, &host->portParams, sizeof(PortParams)), 0);
    EXPECT_TRUE(fake::CallsStartingWith("CreateFileA").empty());
    EXPECT_TRUE(qorlib::Logged("MERIX> ColdStart(), comOn=0, hf=0", kLogDetail));
}

TEST_F(LifecycleTest, ColdStartWhosePortCannotOpenStaysWantedButNotOpen) {
    fake::SetExistingPorts({"COM2"});
    EXPECT_EQ(ColdStart(9600, 8, 0, 2, 7), 0);
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{2010});
    EXPECT_EQ(host->comOn, 7u);
    EXPECT_EQ(host->hf, 0u);
}

TEST_F(LifecycleTest, ColdStartRefusesBaudZeroWithoutDividingByIt) {
    EXPECT_EQ(ColdStart(0, 8, 0, 2, 1), 0);
    EXPECT_TRUE(std::isfinite(host->msecPerChar));
    EXPECT_EQ(host->IFG, 1);
    EXPECT_EQ(host->hf, 0u);
    EXPECT_TRUE(fake::CallsStartingWith("CreateFileA").empty());
    EXPECT_TRUE(qorlib::Logged(
        "MERIX> ColdStart() baud rate 0 gives no character time: port not opened", kLogError));
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{2010});
}

TEST_F(LifecycleTest, ColdStartRefusesAPortNameThatDoesNotFit) {
    StartParams sp{};
    std::memset(sp.portName, 'A', sizeof sp.portName); // 12 characters, no terminator
    sp.comOn = 1;
    sp.baud = 9600;
    sp.dataBits = 8;
    Call(kColdStart, &sp);
    EXPECT_TRUE(fake::CallsStartingWith("CreateFileA").empty());
    EXPECT_EQ(host->portParams.portName[0], '\0');
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{2010});
    EXPECT_EQ(Call(kReOpenCom), 2);
    EXPECT_EQ(RunTimeErrors(), (std::vector<int>{2010, 2030}));
}

TEST_F(LifecycleTest, CalibrationRunsOnlyWhenDebugging) {
    ColdStart(9600, 8, 0, 2, 0);
    EXPECT_FALSE(qorlib::Logged("MERIX> ColdStart() Resolution QPC() 1.000000"));
    // The debug flag comes from the initialisation file; here the counter is missing instead.
    fake::SetCounter(0, 1);
    ColdStart(9600, 8, 0, 2, 0);
    EXPECT_EQ(host->perfFrequency, 0);
    EXPECT_TRUE(qorlib::Logged("MERIX> Send() High Resolution Counter not supported", kLogError));
}

TEST_F(LifecycleTest, WarmStartByStationState) {
    ColdStart();
    StationArg arg{3};
    qorlib::ClearLog();
    EXPECT_EQ(Call(kWarmStart, &arg), 0);
    EXPECT_TRUE(qorlib::Logged("MERIX> WarmStart() PLC-nr. 3 was not in error"));

    host->plcState[3] = kInError;
    host->fEF[3] = 0;
    EXPECT_EQ(Call(kWarmStart, &arg), 0);
    EXPECT_EQ(host->plcState[3], kCommunicating);
    EXPECT_EQ(host->fEF[3], 1u);

    host->plcState[3] = kSwitchedOff;
    EXPECT_EQ(Call(kWarmStart, &arg), 2);
    EXPECT_EQ(host->plcState[3], kSwitchedOff);
    EXPECT_TRUE(qorlib::Logged("MERIX> WarmStart() PLC-nr. 3 manually disabled"));
}

TEST_F(LifecycleTest, WarmStartOutsideTheTablesTouchesNothing) {
    ColdStart();
    const DriverContext before = *host;
    for (uint32_t station : {32u, 99u, 0xFFFFFFFFu}) {
        StationArg arg{station};
        EXPECT_EQ(Call(kWarmStart, &arg), 0);
    }
    EXPECT_EQ(std::memcmp(&before, &*host, sizeof(DriverContext)), 0);
}

TEST_F(LifecycleTest, CloseComTwice) {
    ColdStart();
    EXPECT_EQ(Call(kCloseCom), 0);
    EXPECT_EQ(host->hf, 0u);
    EXPECT_EQ(host->comOn, 0u);
    qorlib::ClearLog();
    fake::ClearCalls();
    EXPECT_EQ(Call(kCloseCom), 0);
    EXPECT_EQ(LogTexts(), std::vector<std::string>{"MERIX> CloseCom(), Exit (no error)"});
    EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(LifecycleTest, CloseFailureKeepsThePortAndRaises2027) {
    ColdStart();
    const uint32_t hf = host->hf;
    fake::FailNext("CloseHandle");
    EXPECT_EQ(Call(kCloseCom), 2);
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{2027});
    EXPECT_EQ(host->hf, hf);
    EXPECT_EQ(host->comOn, 1u);
}

TEST_F(LifecycleTest, ReOpenComUsesTheSavedParametersAndKeepsTheOpenTimeout) {
    ColdStart(19200, 8, 0, 2, 1, "COM4", 50);
    Call(kCloseCom);
    fake::ClearCalls();
    EXPECT_EQ(Call(kReOpenCom), 0);
    EXPECT_EQ(fake::CallsStartingWith("CreateFileA"),
              std::vector<std::string>{"CreateFileA(COM4)"});
    EXPECT_EQ(fake::CommState().baudRate, 19200u);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 1000u);
    EXPECT_EQ(host->comOn, 1u);
}

TEST_F(LifecycleTest, ReOpenComWithNeverFilledParametersFailsCleanly) {
    std::memset(host->portParams.portName, 'X', sizeof host->portParams.portName);
    ColdStart(9600, 8, 0, 2, 0);
    EXPECT_EQ(Call(kReOpenCom), 2);
    EXPECT_TRUE(fake::CallsStartingWith("CreateFileA").empty());
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{2030});
}

TEST_F(LifecycleTest, ChangeVpiParamsKeepsTheTimeoutFor0AndMinus1) {
    ColdStart(9600, 8, 0, 2, 1, "COM1", 30);
    for (uint32_t keep : {0u, 0xFFFFFFFFu}) {
        ChangeParams cp{};
        std::snprintf(cp.portName, sizeof cp.portName, "COM2");
        cp.replyTimeout = keep;
        fake::ClearCalls();
        EXPECT_EQ(Call(kChangeVpiParams, &cp), 0);
        EXPECT_EQ(host->replyTimeout, 30u);
        EXPECT_EQ(fake::CallsStartingWith("CreateFileA"),
                  std::vector<std::string>{"CreateFileA(COM2)"});
        EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 300u);
    }
    ChangeParams cp{};
    std::snprintf(cp.portName, sizeof cp.portName, "COM3");
    cp.replyTimeout = 7;
    EXPECT_EQ(Call(kChangeVpiParams, &cp), 0);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 70u);
    EXPECT_STREQ(host->portParams.portName, "COM3");
}

TEST_F(LifecycleTest, ChangeVpiParamsFailedReopenLeavesThePortClosed) {
    ColdStart();
    fake::SetExistingPorts({"COM1"});
    ChangeParams cp{};
    std::snprintf(cp.portName, sizeof cp.portName, "COM9");
    EXPECT_EQ(Call(kChangeVpiParams, &cp), 2);
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{2040});
    EXPECT_EQ(host->hf, 0u);
    EXPECT_EQ(host->comOn, 0u);
}

TEST_F(LifecycleTest, ChangeVpiParamsRefusesAnOverlongNameAndKeepsTheOpenPort) {
    ColdStart();
    const uint32_t hf = host->hf;
    ChangeParams cp{};
    std::memset(cp.portName, 'B', sizeof cp.portName);
    EXPECT_EQ(Call(kChangeVpiParams, &cp), 2);
    EXPECT_EQ(host->hf, hf);
    EXPECT_TRUE(fake::PortOpen());
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{2040});
}

TEST_F(LifecycleTest, ChangeVpiParamsWithAnEmptyNameClosesThePortAndFails) {
    ColdStart();
    ChangeParams cp{};
    EXPECT_EQ(Call(kChangeVpiParams, &cp), 2);
    EXPECT_FALSE(fake::PortOpen());
    EXPECT_EQ(host->hf, 0u);
    EXPECT_EQ(host->comOn, 0u);
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{2040});
}

TEST_F(LifecycleTest, EndVpiClosesAndStopsEveryInstance) {
    ColdStart();
    EXPECT_EQ(Call(kEndVpi), 0);
    EXPECT_FALSE(fake::PortOpen());
    EXPECT_TRUE(qorlib::Logged("MERIX> EndVpi() exited, 0", kLogDetail));
    HostContext other;
    CallBlock cb{other.ctx.get(), kCloseCom, 2, 0, nullptr};
    EXPECT_EQ(VpiMain(&cb), 0);
}

TEST_F(LifecycleTest, GetVpiInfoIsTheSameBeforeAndAfterColdStart) {
    VpiInfo before{};
    CallBlock cb{nullptr, kGetVpiInfo, 1, 0, &before};
    EXPECT_EQ(VpiMain(&cb), 0);
    ColdStart();
    VpiInfo after{};
    EXPECT_EQ(Call(kGetVpiInfo, &after), 0);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_EQ(before.fixed70, 70u);
    EXPECT_EQ(before.contextSize, 1544u);
    EXPECT_EQ(before.fixed4, 4u);
    EXPECT_EQ(before.baud, 9600);
    EXPECT_EQ(before.dataBits, 8);
    EXPECT_EQ(before.stopBits, 0);
    EXPECT_EQ(before.parity, 2);
    EXPECT_EQ(before.fixed1, 1u);
    EXPECT_STREQ(before.description, "Hima H51");
}

// A host restarts instances after every configuration change: what an earlier start opened
// must not outlive it, and what the host's memory happens to hold must never be closed.
class RestartTest : public InDirTest {
protected:
    int32_t Start(HostContext& on, uint32_t number, const char* port) {
        StartParams sp{};
        std::snprintf(sp.portName, sizeof sp.portName, "%s", port);
        sp.comOn = 1;
        sp.replyTimeout = 20;
        sp.baud = 9600;
        sp.dataBits = 8;
        sp.parity = 2;
        CallBlock cb{on.ctx.get(), kColdStart, number, 0, &sp};
        return VpiMain(&cb);
    }
    int32_t ReadRegister(HostContext& on, uint32_t number) {
        fake::QueueReply(WithCrc({0x01, 0x03, 0x02, 0x12, 0x34}));
        AccessGate gate("01300100", 1, 3, 100);
        CallBlock cb{on.ctx.get(), kSingleRead, number, 0, &gate.rec};
        return VpiMain(&cb);
    }
};

TEST_F(RestartTest, ASecondColdStartClosesThePortOfTheFirstAndNothingElse) {
    ASSERT_NE(host->hf, 0u) << "the host's memory holds a handle-like marker";
    ColdStart();
    EXPECT_TRUE(fake::CallsStartingWith("CloseHandle").empty()) << "never close on hf alone";
    ColdStart();
    EXPECT_EQ(fake::CallsStartingWith("CloseHandle").size(), 1u);
    EXPECT_EQ(fake::OpenHandles(), 1);
    EXPECT_EQ(fake::TimerPeriodRaises(), 1);
    EXPECT_TRUE(RunTimeErrors().empty());
    EXPECT_EQ(ReadRegister(host, 1), 0);
}

TEST_F(RestartTest, EndVpiOfOneInstanceReleasesEveryInstance) {
    HostContext second;
    HostContext third;
    ColdStart();
    ASSERT_EQ(Start(second, 2, "COM2"), 0);
    ASSERT_EQ(Start(third, 3, "COM3"), 0);
    ASSERT_EQ(fake::OpenHandles(), 3);
    CallBlock end{second.ctx.get(), kEndVpi, 2, 0, nullptr};
    EXPECT_EQ(VpiMain(&end), 0);
    EXPECT_EQ(fake::OpenHandles(), 0);
    EXPECT_EQ(fake::TimerPeriodRaises(), 0);
    EXPECT_TRUE(qorlib::Logged("MERIX> EndVpi() closing hf=" + std::to_string(third->hf) +
                                   ", left open for instance 3",
                               kLogDetail));
}

// Hosts free and allocate contexts as they please: a context may come back as another
// instance, two may swap, and an old one may get a command after its instance moved on. The
// system reuses handle numbers, so a context's `hf` may name another instance's port by then.
struct HostStep {
    int context; ///< 0 and 1 are started by the steps; 2 never sees a ColdStart
    uint32_t command;
    uint32_t number;
    const char* port = "";
    int hfOf = -1; ///< before the step, the context's hf is made that of this context
};
struct RestartCase {
    const char* name;
    std::vector<HostStep> steps;
    std::vector<const char*> ports; ///< the port each of contexts 0 and 1 reads at the end
    bool disowned;                  ///< a command found a handle its context did not open
    std::vector<int> runTimeErrors = {};
};

class HostMovesContexts : public RestartTest, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(HostMovesContexts, EachInstanceReadsItsOwnPortAndEndVpiLeavesNothingOpen) {
    HostContext contexts[3];
    for (const HostStep& step : GetParam().steps) {
        HostContext& on = contexts[step.context];
        if (step.hfOf >= 0) {
            on->hf = contexts[step.hfOf]->hf;
        }
        if (step.command == kColdStart) {
            ASSERT_EQ(Start(on, step.number, step.port), 0);
        } else {
            CallBlock cb{on.ctx.get(), step.command, step.number, 0, nullptr};
            VpiMain(&cb);
        }
    }
    int open = 0;
    for (int i = 0; i < 2; ++i) {
        const std::string port = GetParam().ports[i];
        open += !port.empty();
        if (!port.empty()) {
            EXPECT_EQ(fake::OpenedAs(contexts[i]->hf), port) << "context " << i;
            EXPECT_EQ(ReadRegister(contexts[i], 1), 0) << "context " << i;
        }
    }
    EXPECT_EQ(fake::OpenHandles(), open) << "each port held once";
    EXPECT_EQ(RunTimeErrors(), GetParam().runTimeErrors);
    int disowned = 0;
    for (const auto& line : qorlib::Log()) {
        disowned += line.level == kLogError &&
                    line.text.find("in this context: not closed") != std::string::npos;
    }
    EXPECT_EQ(disowned, GetParam().disowned ? 1 : 0);
    CallBlock end{contexts[0].ctx.get(), kEndVpi, 1, 0, nullptr};
    VpiMain(&end);
    EXPECT_EQ(fake::OpenHandles(), 0);
    EXPECT_EQ(fake::TimerPeriodRaises(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Restarts, HostMovesContexts,
    ::testing::Values(
        RestartCase{"InAnotherInstancesOldMemory",
                    {{0, kColdStart, 1, "COM1"},
                     {1, kColdStart, 2, "COM2"},
                     {1, kCloseCom, 2},
                     {1, kColdStart, 1, "COM1"}},
                    {"", "COM1"},
                    false},
        RestartCase{"TwoInstancesSwapMemory",
                    {{0, kColdStart, 1, "COM1"},
                     {1, kColdStart, 2, "COM2"},
                     {0, kColdStart, 2, "COM2"},
                     {1, kColdStart, 1, "COM1"}},
                    {"COM2", "COM1"},
                    false},
        RestartCase{"CloseComOfTheOldContextAfterARestart",
                    {{0, kColdStart, 1, "COM1"}, {1, kColdStart, 1, "COM1"}, {0, kCloseCom, 1}},
                    {"", "COM1"},
                    true},
        RestartCase{"ReOpenComOfTheOldContextAfterARestart",
                    {{0, kColdStart, 1, "COM1"}, {1, kColdStart, 1, "COM1"}, {0, kReOpenCom, 1}},
                    {"", "COM1"},
                    true,
                    {2030}}, // the old context has no room to open a port for
        RestartCase{"CloseComOnMemoryNeverStarted",
                    {{0, kColdStart, 1, "COM1"}, {2, kCloseCom, 2, "", 0}},
                    {"COM1", ""},
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

// A context the host let go, one that never saw a ColdStart, or none at all: a command through
// it reaches no line, waits for nothing and answers as a port not open (a failed poll for an
// event read), whatever the memory holds. The old context's handle number is the new one's.
struct StrayCase {
    const char* name;
    uint32_t command;
    const char* address;
    int32_t function;
    int32_t expected;
};
enum class Stray { kRestarted, kNeverStarted, kClosed, kOthersHandle };
std::string StrayName(const ::testing::TestParamInfo<std::tuple<Stray, StrayCase>>& info) {
    static const char* const kStrays[] = {"Restarted", "NeverStarted", "Closed", "OthersHandle"};
    return std::string(kStrays[static_cast<int>(std::get<0>(info.param))]) +
           std::get<1>(info.param).name;
}
class StrayContext : public RestartTest,
                     public ::testing::WithParamInterface<std::tuple<Stray, StrayCase>> {};

TEST_P(StrayContext, ReachesNoLineAndAnswersAtOnce) {
    const auto& [stray, c] = GetParam();
    HostContext restarted;
    HostContext* through = &host;
    if (stray == Stray::kRestarted) {
        ASSERT_EQ(Start(host, 1, "COM1"), 0);
        ASSERT_EQ(Start(restarted, 1, "COM1"), 0);
        ASSERT_EQ(host->hf, restarted->hf) << "the system gave the number out again";
    } else if (stray == Stray::kNeverStarted) {
        through = &restarted; // filled with a marker, as host memory may hold anything
    } else if (stray == Stray::kOthersHandle) {
        ASSERT_EQ(Start(host, 1, "COM1"), 0);
        ASSERT_EQ(Start(restarted, 2, "COM2"), 0);
        host->hf = restarted->hf; // its own port open, but another instance's handle in hf
    } else {
        ASSERT_EQ(Start(host, 1, "COM1"), 0);
        CallBlock close{host.ctx.get(), kCloseCom, 1, 0, nullptr};
        ASSERT_EQ(VpiMain(&close), 0);
        host->comOn = 1; // as a host may leave it
    }
    fake::ClearWritten();
    fake::ClearCalls();
    qorlib::ClearLog();
    const uint64_t before = fake::ClockMicros();
    AccessGate gate(c.address, 1, c.function, 100);
    gate.SetWord(0x0099);
    for (int i = 0; i < 2; ++i) {
        CallBlock cb{through->ctx.get(), c.command, 1, 0, &gate.rec};
        EXPECT_EQ(VpiMain(&cb), c.expected);
    }
    EXPECT_TRUE(fake::Written().empty()) << "nothing reaches the line";
    EXPECT_TRUE(fake::Calls().empty()) << "no port call, no wait";
    EXPECT_EQ(fake::ClockMicros(), before);
    int said = 0;
    for (const auto& line : qorlib::Log()) {
        said += line.level == kLogError && line.text.find("not sent") != std::string::npos;
    }
    EXPECT_EQ(said, 1) << "one line per context and kind of command";
}

INSTANTIATE_TEST_SUITE_P(
    Commands, StrayContext,
    ::testing::Combine(::testing::Values(Stray::kRestarted, Stray::kNeverStarted, Stray::kClosed,
                                         Stray::kOthersHandle),
                       ::testing::Values(StrayCase{"Read", kSingleRead, "01300100", 3, 1},
                                         StrayCase{"BlockRead", kBlockRead, "01300100", 3, 1},
                                         StrayCase{"Write", kSingleWrite, "01300100", 6, 1},
                                         StrayCase{"EventRead", kSingleRead, "$EVENT", 3, 2},
                                         StrayCase{"TimeBroadcast", kSingleWrite, "$TIME", 16, 1})),
    StrayName);

TEST_F(RestartTest, EveryCommandWithoutAContextAnswersWithoutACrash) {
    AccessGate gate("01300100", 1, 3, 100);
    StartParams sp{};
    for (uint32_t command = 1; command <= 16; ++command) {
        CallBlock cb{nullptr, command, 1, 0,
                     command == kColdStart ? static_cast<void*>(&sp) : &gate.rec};
        if (command == kGetVpiInfo) {
            cb.params = nullptr; // it needs no context, but its record
        }
        if (command != kEndVpi) {
            EXPECT_EQ(VpiMain(&cb), 2) << "command " << command;
        }
    }
    CallBlock end{nullptr, kEndVpi, 1, 0, nullptr};
    EXPECT_EQ(VpiMain(&end), 0) << "stopped: every call answers 0";
    EXPECT_NE(VpiMain(nullptr), 2);
}

TEST_F(RestartTest, EndVpiWithoutAContextStillStopsTheLibrary) {
    ColdStart();
    CallBlock end{nullptr, kEndVpi, 1, 0, nullptr};
    EXPECT_EQ(VpiMain(&end), 0);
    EXPECT_EQ(fake::OpenHandles(), 0);
    EXPECT_EQ(Call(kSingleRead), 0) << "stopped";
}

TEST_F(RestartTest, AnInstanceStartedInANewContextTakesOverItsPortAndTrace) {
    fake::SetCounter(10'000'000, 1000);
    WriteFile("MERIX01.INI", "TRACE = t.log\n");
    ColdStart();
    ASSERT_TRUE(LineTraced(*host));
    HostContext restarted;
    ASSERT_EQ(Start(restarted, 1, "COM1"), 0);
    EXPECT_EQ(fake::OpenHandles(), 1);
    EXPECT_EQ(fake::TimerPeriodRaises(), 1);
    EXPECT_FALSE(LineTraced(*host)) << "the old context's file is closed";
    EXPECT_TRUE(LineTraced(*restarted));
    EXPECT_EQ(ReadRegister(restarted, 1), 0);
    CallBlock close{restarted.ctx.get(), kCloseCom, 1, 0, nullptr};
    CallBlock reopen{restarted.ctx.get(), kReOpenCom, 1, 0, nullptr};
    VpiMain(&close);
    ASSERT_EQ(VpiMain(&reopen), 0);
    StopAllLineTraces();
    std::ifstream in("t.log");
    int starts = 0;
    int replies = 0;
    int opens = 0;
    for (std::string line; std::getline(in, line);) {
        starts += line.rfind("# merix line trace", 0) == 0;
        replies += line.find("01 03 02 12 34") != std::string::npos;
        opens +=
            line.find("-- port COM1 opened, direction switched by the driver") != std::string::npos;
    }
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(replies, 1) << "the trace goes on";
    EXPECT_EQ(opens, 1) << "a reopen names the direction";
}

TEST(VpiInfoBanner, ByteForByte) {
    VpiInfo info{};
    CallBlock cb{nullptr, kGetVpiInfo, 1, 0, &info};
    ResetLibraryStateForTests();
    VpiMain(&cb);
    const std::string banner(info.banner);
    ASSERT_EQ(banner.size(), 171u);
    const std::string edge(36, '\xC4');
    const std::string expected = "\r\n"
                                 " \xDA" +
                                 edge +
                                 "\xBF \r\n"
                                 " \xB3"
                                 "          HIMA - H51 Family -       "
                                 "\xB3 \r\n"
                                 " \xB3"
                                 "      K7 32bit driver installed     "
                                 "\xB3 \r\n"
                                 " \xC0" +
                                 edge +
                                 "\xD9 \r\n"
                                 " ";
    EXPECT_EQ(banner, expected);
}

} // namespace
} // namespace merix::test
