// VpiMain: dispatch, rejected codes, the stop flag and the call-rhythm log lines.
#include "gates/address_parser.h"
#include "services/host_log.h"
#include "services/run_time_error.h"
#include "test_support.h"

namespace merix::test {
namespace {

class EntryTest : public DriverTest {};

class RejectedCode : public EntryTest,
                     public ::testing::WithParamInterface<std::pair<uint32_t, int>> {};

TEST_P(RejectedCode, LogsItsRunTimeErrorAndAnswers2) {
    const auto [code, expectedError] = GetParam();
    EXPECT_EQ(Call(code), 2);
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{expectedError});
}

INSTANTIATE_TEST_SUITE_P(
    Codes, RejectedCode,
    ::testing::Values(std::pair<uint32_t, int>{0, 1010}, std::pair<uint32_t, int>{17, 1010},
                      std::pair<uint32_t, int>{static_cast<uint32_t>(-1), 1010},
                      std::pair<uint32_t, int>{8, 1020}, std::pair<uint32_t, int>{9, 1020},
                      std::pair<uint32_t, int>{16, 1020}));

TEST_F(EntryTest, BlockWriteIsDispatchedAndRefused) {
    ColdStart();
    fake::ClearCalls();
    AccessGate block("01300100", 1, 3, 100, kGateType0, 4);
    EXPECT_EQ(Call(kBlockWrite, &block.rec), 1);
    EXPECT_TRUE(RunTimeErrors().empty());
    EXPECT_TRUE(fake::Written().empty()) << "nothing goes on the line";
}

// A record is the host's memory: one without its text names no gate, and nothing may read it.
TEST_F(EntryTest, AGateRecordWithoutItsTextIsRefusedWithoutACrash) {
    AccessGate gate("01300100", 1, 3, 100);
    gate.rec.addressString = nullptr;
    for (const uint32_t command : {kSingleRead, kBlockRead, kSingleWrite}) {
        fake::ClearWritten();
        EXPECT_EQ(Call(command, &gate.rec), 1) << command;
        EXPECT_TRUE(fake::Written().empty()) << command;
    }
    EXPECT_TRUE(qorlib::Logged(
        "MERIX> SingleWrite() instance 1: gate record without its address text, refused"));
}

TEST_F(EntryTest, AfterEndVpiEveryCodeAnswers0WithoutEffect) {
    ColdStart();
    EXPECT_EQ(Call(kEndVpi), 0);
    qorlib::ClearLog();
    fake::ClearCalls();
    VpiInfo info{};
    EXPECT_EQ(Call(kGetVpiInfo, &info), 0);
    EXPECT_EQ(info.contextSize, 0u) << "GetVpiInfo must not run after EndVpi";
    EXPECT_EQ(ColdStart(), 0);
    EXPECT_EQ(Call(0), 0);
    EXPECT_EQ(Call(9), 0);
    EXPECT_TRUE(qorlib::Log().empty());
    EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(EntryTest, BetweenLineAfterMoreThan15SecondsSinceLoad) {
    // A command that does nothing but be timed: a block write, which the driver refuses.
    AccessGate block("01300100", 1, 3, 100, kGateType0, 4);
    ColdStart();
    qorlib::ClearLog();
    fake::AdvanceClock(15000);
    Call(kBlockWrite, &block.rec);
    EXPECT_TRUE(LogTexts().empty()) << "exactly 15 s logs nothing";
    fake::AdvanceClock(15001);
    Call(kBlockWrite, &block.rec);
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_EQ(LogTexts()[0], "MERIX> VpiMain() between : Timer 15.001000");
}

TEST_F(EntryTest, RejectedCodesDoNotRestartTheBetweenTimer) {
    AccessGate block("01300100", 1, 3, 100, kGateType0, 4);
    ColdStart();
    fake::AdvanceClock(10000);
    Call(kBlockWrite, &block.rec); // between timer restarts at 10 s
    fake::AdvanceClock(10000);
    Call(0); // rejected: does not restart it
    qorlib::ClearLog();
    fake::AdvanceClock(6000);
    Call(kBlockWrite, &block.rec);
    EXPECT_TRUE(qorlib::Logged("MERIX> VpiMain() between : Timer 16.000000", kLogDetail));
}

TEST_F(EntryTest, WorkedLineOnlyForCommandsLongerThanOneAndAHalfSeconds) {
    ColdStart(9600, 8, 0, 2, 0);
    qorlib::ClearLog();
    // WarmStart of a station in state 0 is instant on the fake clock.
    StationArg arg{1};
    Call(kWarmStart, &arg);
    EXPECT_FALSE(LogTexts().empty());
    for (const auto& text : LogTexts()) {
        EXPECT_EQ(text.find("worked"), std::string::npos) << text;
    }
}

struct RteCase {
    int area, place, detail, code;
};

TEST(RunTimeErrorCode, Arithmetic) {
    const RteCase cases[] = {{3, 4, 5, 3045}, {2, 2, 11, 2020}, {1, 1, 10, 1020},
                             {2, 2, 7, 2027}, {3, 1, 1, 3011},  {1, 1, -1, 1009}};
    for (const auto& c : cases) {
        EXPECT_EQ(RunTimeErrorCode(c.area, c.place, c.detail), c.code)
            << c.area << "," << c.place << "," << c.detail;
    }
}

TEST_F(EntryTest, RunTimeErrorLineFormat) {
    RunTimeError(3, 4, 5);
    EXPECT_TRUE(qorlib::Logged("MERIX> Run Time Error 3045", 32));
}

} // namespace
} // namespace merix::test
