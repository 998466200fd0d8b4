// A station that failed for good, set aside for DEMOTE seconds: answered at once meanwhile,
// probed once after, and the retry budget of RETRIES and RETRY_PAUSE.
#include "gates/address_parser.h"
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "test_support.h"

namespace merix::test {
namespace {

const Frame kReply = WithCrc({0x01, 0x03, 0x02, 0x12, 0x34}); // station 1: 0x1234

class DemotionTest : public InDirTest {
protected:
    void Start(const std::string& ini) {
        WriteFile("MERIX01.INI", ini);
        ASSERT_EQ(ColdStart(), 0);
        qorlib::ClearLog();
    }
    /// A SingleRead of station 1's register 100, answered by `reply` (empty: silence).
    int32_t Read(const Frame& reply = {}) {
        if (!reply.empty()) {
            fake::QueueReply(reply);
        }
        fake::ClearWritten();
        return Call(kSingleRead, &gate.rec);
    }
    /// One failed read demotes station 1.
    void Demote() {
        ASSERT_EQ(Read(), kResultFailed);
        ASSERT_EQ(fake::Written().size(), 5u) << "five attempts before the demotion";
        qorlib::ClearLog();
    }
    static int Logged(const std::string& part) {
        int n = 0;
        for (const auto& line : qorlib::Log()) {
            n += line.level == kLogError && line.text.find(part) != std::string::npos;
        }
        return n;
    }

    AccessGate gate{"01300100", 1, 3, 100};
};

// While demoted, every kind of transaction to the station answers 2 at once and sends
// nothing; neither the host's WarmStart nor switching the station off and on ends it.
struct RefusedCase {
    const char* name;
    uint32_t command;
    const char* address;
    int32_t function;
};
class DemotedStation : public DemotionTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(DemotedStation, AnswersAtOnceWithNothingSent) {
    Start("DEMOTE = 10\n");
    Demote();
    StationArg one{1};
    ASSERT_EQ(Call(kWarmStart, &one), 0);
    AccessGate hima("HIMA01", 255, 80, 1, kGateTypeDigital); // switched off and on again
    for (const int16_t off : {1, 0}) {
        hima.SetWord(off);
        ASSERT_EQ(Call(kSingleWrite, &hima.rec), 0);
    }
    AccessGate target(GetParam().address, 1, GetParam().function, 100);
    target.SetWord(0x0099);
    const uint64_t before = fake::ClockMicros();
    for (int i = 0; i < 3; ++i) {
        fake::ClearWritten();
        EXPECT_EQ(Call(GetParam().command, &target.rec), kResultFailed);
        EXPECT_TRUE(fake::Written().empty()) << "nothing reaches the line";
    }
    EXPECT_EQ(fake::ClockMicros(), before) << "nothing waited for";
    EXPECT_EQ(ReadLineCounter(*host, 1, LineCounter::kDemoted), 3u);
    EXPECT_EQ(ReadLineCounter(*host, 1, LineCounter::kFail), 1u) << "the failure only";
    EXPECT_EQ(Logged("MERIX> PLC 1 demoted for 10 s after no answer"), 1) << "said once";
}

INSTANTIATE_TEST_SUITE_P(Transactions, DemotedStation,
                         ::testing::Values(RefusedCase{"Read", kSingleRead, "01300100", 3},
                                           RefusedCase{"Write", kSingleWrite, "01300100", 6},
                                           RefusedCase{"EventRead", kSingleRead, "$EVENT", 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// The demotion's line names what the last attempt met, so that the operator knows where to look.
TEST_F(DemotionTest, TheLineSaysWhatTheStationAnswered) {
    const Frame exception = WithCrc({0x01,   // station
                                     0x83,   // read holding registers, exception bit
                                     0x04}); // device failure
    const struct {
        Frame reply; ///< to every attempt; empty: silence
        const char* why;
    } cases[] = {{{}, "no answer"}, {exception, "an exception reply"}};
    for (const auto& c : cases) {
        Start("DEMOTE = 10\n");
        for (int i = 0; i < 5 && !c.reply.empty(); ++i) {
            fake::QueueReply(c.reply);
        }
        EXPECT_EQ(Call(kSingleRead, &gate.rec), kResultFailed) << c.why;
        EXPECT_EQ(Call(kSingleRead, &gate.rec), kResultFailed) << c.why; // answered at once
        EXPECT_EQ(Logged(std::string("MERIX> PLC 1 demoted for 10 s after ") + c.why), 1) << c.why;
    }
}

TEST_F(DemotionTest, OneProbeAfterThePeriodThenAsUsual) {
    Start("DEMOTE = 10\n");
    Demote();
    fake::AdvanceClock(9999);
    EXPECT_EQ(Read(), kResultFailed);
    EXPECT_TRUE(fake::Written().empty()) << "the period is not over";
    fake::AdvanceClock(1);
    EXPECT_EQ(Read(), kResultFailed);
    EXPECT_EQ(fake::Written().size(), 1u) << "one probe, no retries";
    EXPECT_EQ(Read(), kResultFailed);
    EXPECT_TRUE(fake::Written().empty()) << "a failed probe demotes for another period";
    fake::AdvanceClock(10'000);
    EXPECT_EQ(Read(kReply), kResultOk);
    EXPECT_EQ(fake::Written().size(), 1u);
    EXPECT_EQ(gate.Word(), 0x1234) << "the probe's value is delivered";
    EXPECT_EQ(Logged("MERIX> PLC 1 answers again"), 1);
    EXPECT_EQ(Read(), kResultFailed);
    EXPECT_EQ(fake::Written().size(), 5u) << "back to the usual budget";
}

TEST_F(DemotionTest, OtherStationsAndColdStartAreNotHeldUp) {
    Start("DEMOTE = 10\n");
    Demote();
    AccessGate other("02300100", 2, 3, 100);
    fake::QueueReply(WithCrc({0x02, 0x03, 0x02, 0x00, 0x07}));
    EXPECT_EQ(Call(kSingleRead, &other.rec), kResultOk);
    EXPECT_EQ(other.Word(), 7);
    ASSERT_EQ(ColdStart(), 0);
    EXPECT_EQ(Read(kReply), kResultOk) << "ColdStart ends every demotion";
}

// The budget of a transaction: RETRIES attempts with RETRY_PAUSE before each retry; without
// the keywords, five and 50 ms; without DEMOTE, no demotion.
struct BudgetCase {
    const char* ini;
    size_t attempts;
    const char* pause; ///< the Sleep of each retry's pause
};
class RetryBudget : public DemotionTest, public ::testing::WithParamInterface<BudgetCase> {};

TEST_P(RetryBudget, AttemptsAndPauses) {
    Start(GetParam().ini);
    for (int i = 0; i < 2; ++i) {
        fake::ClearCalls();
        EXPECT_EQ(Read(), kResultFailed);
        EXPECT_EQ(fake::Written().size(), GetParam().attempts) << "read " << i;
        EXPECT_EQ(fake::CallsStartingWith(GetParam().pause).size(), GetParam().attempts - 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, RetryBudget,
    ::testing::Values(BudgetCase{"", 5, "Sleep(50)"}, BudgetCase{"RETRIES = 1\n", 1, "Sleep(50)"},
                      BudgetCase{"RETRIES = 10\n", 10, "Sleep(50)"},
                      BudgetCase{"RETRY_PAUSE = 200\n", 5, "Sleep(200)"},
                      BudgetCase{"RETRIES = 0\nRETRY_PAUSE = 5001\n", 5, "Sleep(50)"}));

} // namespace
} // namespace merix::test
