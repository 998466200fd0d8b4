// Reads, writes, station switching and the time broadcast against the simulated line.
#include <chrono>
#include <fstream>
#include <thread>

#include "gates/address_parser.h"
#include "services/line_statistics.h"
#include "sim_line.h"
#include "work_in.h"

namespace merix::test {
namespace {

class SimTransactions : public SimLine {};

TEST_F(SimTransactions, ReadsEveryKindOfSingleGate) {
    sim->SetHoldingRegister(1, 100, 0x1234);
    sim->SetCoil(1, 7, true);
    sim->SetDiscreteInput(1, 3, true);
    sim->SetInputRegister(2, 5, 77);
    Gate reg("01300100", 1, 3, 100);
    Gate coil("01100007", 1, 1, 7, 6);
    Gate input("01200003", 1, 2, 3, 6);
    Gate inputReg("02400005", 2, 4, 5);
    EXPECT_EQ(Read(reg), 0);
    EXPECT_EQ(reg.Word(), 0x1234);
    EXPECT_EQ(Read(coil), 0);
    EXPECT_EQ(coil.Word(), 1);
    EXPECT_EQ(Read(input), 0);
    EXPECT_EQ(input.Word(), 1);
    EXPECT_EQ(Read(inputReg), 0);
    EXPECT_EQ(inputReg.Word(), 77);
}

TEST_F(SimTransactions, ReadsTheLargestBlocks) {
    for (uint32_t i = 0; i < 127; ++i) {
        sim->SetHoldingRegister(1, 1000 + i, static_cast<uint16_t>(i * 3));
    }
    for (uint32_t i = 0; i < 1999; ++i) {
        sim->SetCoil(1, i, i % 3 == 0);
    }
    Gate regs("01301000", 1, 3, 1000, 0, 127);
    ASSERT_EQ(ReadBlock(regs), 0);
    for (int i = 0; i < 127; ++i) {
        uint16_t w = 0;
        std::memcpy(&w, regs.value + 2 * i, 2);
        ASSERT_EQ(w, i * 3) << i;
    }
    Gate bits("01100000", 1, 1, 0, 6, 1999);
    ASSERT_EQ(ReadBlock(bits), 0);
    for (int i = 0; i < 1999; ++i) {
        ASSERT_EQ((bits.value[i / 8] >> (i % 8)) & 1, i % 3 == 0 ? 1 : 0) << i;
    }
}

TEST_F(SimTransactions, WritesReachTheController) {
    Gate coil("01100010", 1, 1, 10, 6);
    Gate reg("01300200", 1, 3, 200);
    EXPECT_EQ(Write(coil, 1), 0);
    EXPECT_EQ(Write(reg, -2), 0);
    EXPECT_EQ(sim->GetCoil(1, 10), std::optional<bool>(true));
    EXPECT_EQ(sim->GetHoldingRegister(1, 200), std::optional<uint16_t>(0xFFFE));
    EXPECT_EQ(Read(reg), 0);
    EXPECT_EQ(reg.Word(), -2);
    EXPECT_EQ(Write(coil, 0), 0);
    EXPECT_EQ(sim->GetCoil(1, 10), std::optional<bool>(false));
}

TEST_F(SimTransactions, StationSwitchAndWarmStart) {
    Gate hima("HIMA01", 255, 80, 1, 6);
    Gate reg("01300100", 1, 3, 100);
    EXPECT_EQ(Write(hima, 1), 0);
    const size_t before = FramesReceived();
    EXPECT_EQ(Read(reg), 2);
    EXPECT_EQ(FramesReceived(), before) << "nothing goes on the line for a switched-off station";
    EXPECT_EQ(Write(hima, 0), 0);
    EXPECT_EQ(ctx.plcState[1], kInError);
    StationArg arg{1};
    EXPECT_EQ(Call(kWarmStart, &arg), 0);
    EXPECT_EQ(Read(reg), 0);
}

TEST_F(SimTransactions, TimeBroadcastSetsTheClocks) {
    Gate time("$TIME", 0, 3, 0xFFFC);
    EXPECT_EQ(Write(time, 1), 0);
    ASSERT_TRUE(sim->WaitFor([&] { return sim->LastTimeSync().has_value(); }, 5000ms));
    const auto sync = sim->LastTimeSync();
    ASSERT_TRUE(sync->time.has_value());
    const time_t now = ::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    EXPECT_EQ(sync->time->day, static_cast<unsigned>(local.tm_mday));
    const auto clock = sim->StationClockNow(2);
    ASSERT_TRUE(clock.has_value());
    EXPECT_EQ(clock->year, local.tm_year + 1900);
    EXPECT_EQ(clock->month, static_cast<unsigned>(local.tm_mon + 1));
}

TEST_F(SimTransactions, SilentStationEndsInError) {
    sim->InjectFaults(1, {h51sim::FaultKind::NoReply, 0}, 5);
    Gate reg("01300100", 1, 3, 100);
    EXPECT_EQ(Read(reg), 2);
    EXPECT_EQ(ctx.plcState[1], kInError);
    EXPECT_EQ(sim->StationCounters(1)->requests, 5u);
}

struct FaultCase {
    const char* name;
    h51sim::Fault fault;
    unsigned count;
    int32_t result;
    uint64_t requests;
    uint32_t plcState;
};

class SimFaults : public SimLine, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SimFaults, GiveTheResultsAndRetriesOfARead) {
    const FaultCase& c = GetParam();
    sim->SetHoldingRegister(1, 100, 5);
    sim->InjectFaults(1, c.fault, c.count);
    Gate reg("01300100", 1, 3, 100);
    EXPECT_EQ(Read(reg), c.result);
    EXPECT_EQ(sim->StationCounters(1)->requests, c.requests);
    EXPECT_EQ(ctx.plcState[1], c.plcState);
    if (c.result == 0) {
        EXPECT_EQ(reg.Word(), 5);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SimFaults,
    ::testing::Values(FaultCase{"BadCrcTwice", {h51sim::FaultKind::BadCrc, 0}, 2, 0, 3, 0},
                      FaultCase{"BadCrcAlways", {h51sim::FaultKind::BadCrc, 0}, 5, 1, 5, 0},
                      FaultCase{"CutShort", {h51sim::FaultKind::Truncated, 0}, 1, 0, 2, 0},
                      FaultCase{"WrongStation", {h51sim::FaultKind::WrongStation, 3}, 20, 1, 14, 0},
                      FaultCase{"IllegalAddress", {h51sim::FaultKind::Exception, 2}, 5, 1, 5, 0},
                      FaultCase{"DeviceFailure", {h51sim::FaultKind::Exception, 4}, 5, 2, 5, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// DEMOTE on a real line: a station that stopped answering costs one failed read, then nothing
// until its probe, while the other stations are read as usual.
class SimDemotion : public SimLine {
protected:
    void SetUp() override {
        std::ofstream("MERIX01.INI") << "DEMOTE = 1\n";
        SimLine::SetUp();
    }
    WorkIn work{"merix_demotion_"};
};

TEST_F(SimDemotion, ASilentStationIsAnsweredAtOnceUntilItsProbe) {
    sim->InjectFaults(1, {h51sim::FaultKind::NoReply, 0}, 5);
    Gate silent("01300100", 1, 3, 100);
    Gate live("02300100", 2, 3, 100);
    ASSERT_EQ(Read(silent), kResultFailed);
    ASSERT_EQ(sim->StationCounters(1)->requests, 5u);
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Read(silent), kResultFailed);
        // Well under a millisecond on any machine; a bound a busy one keeps.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
        EXPECT_EQ(Read(live), 0);
    }
    EXPECT_EQ(sim->StationCounters(1)->requests, 5u) << "nothing sent while demoted";
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(Read(silent), 0) << "the probe finds it back";
    EXPECT_EQ(sim->StationCounters(1)->requests, 6u) << "one probe";
    EXPECT_EQ(Read(silent), 0);
}

// A line that hears its own requests (h51sim --echo), with ECHO = ON: reads and writes of a
// station on the line work, and a write to a station that is not there is never confirmed by
// its own echo.
class SimEchoLine : public SimLine {
protected:
    h51sim::LineConfig LineSettings() const override {
        h51sim::LineConfig line = SimLine::LineSettings();
        line.echo = true;
        return line;
    }
    void SetUp() override {
        std::ofstream("MERIX01.INI") << "ECHO = ON\n";
        SimLine::SetUp();
    }
    WorkIn work{"merix_echo_"};
};

TEST_F(SimEchoLine, NoWriteIsConfirmedByItsEcho) {
    Gate reg("01300100", 1, 3, 100);
    ASSERT_EQ(Write(reg, 0x0123), 0);
    reg.SetWord(0);
    ASSERT_EQ(Read(reg), 0);
    EXPECT_EQ(reg.Word(), 0x0123);
    Gate absent("09600100", 9, 6, 100);
    EXPECT_NE(Write(absent, 0x0099), 0) << "a register write to no station";
    Gate coil("09500004", 9, 5, 4, kGateTypeDigital);
    EXPECT_NE(Write(coil, 1), 0) << "a coil write to no station";
    EXPECT_EQ(ReadLineCounter(ctx, 0, LineCounter::kEcho), 0u) << "every echo came back whole";
}

} // namespace
} // namespace merix::test
