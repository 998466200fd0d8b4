#include "sim/scenario.h"

#include <gtest/gtest.h>

#include "sim/reply.h"
#include "sim/simulator.h"
#include "sim/trace.h"

namespace h51sim {
namespace {

constexpr const char* kScenario = R"({
  "line": {"baud": 19200, "parity": "none", "stop_bits": 2, "turnaround_ms": 2.5, "seed": 9},
  "stations": [
    {"address": 3, "holding_registers": 50, "event_gates": 16, "event_rate": 0.5,
     "values": {"holding_registers": [{"address": 10, "values": [1, 65535]}],
                "coils": [{"address": 0, "values": [true, 0, 1]}]},
     "events": [{"at_ms": 60000, "event": 4, "value": 1}],
     "faults": [{"kind": "exception", "param": 4, "count": 2},
                {"kind": "no_reply", "probability": 0.25}]}
  ]
})";

TEST(Scenario, ParsesAndApplies) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario(kScenario, LineConfig{}, s, &error)) << error;
    EXPECT_EQ(s.line.baud, 19200);
    EXPECT_EQ(s.line.parity, Parity::None);
    EXPECT_EQ(s.line.stopBits, 2);
    EXPECT_EQ(s.line.dataBits, 8); // left out: the base's value
    EXPECT_EQ(s.line.seed, 9u);
    ASSERT_EQ(s.stations.size(), 1u);
    EXPECT_EQ(s.stations[0].config.eventGates, 16);
    EXPECT_EQ(s.stations[0].faults.size(), 2u);

    Simulator sim(s.line);
    ASSERT_TRUE(ApplyScenario(s, sim, &error)) << error;
    EXPECT_EQ(sim.GetHoldingRegister(3, 11), 65535);
    EXPECT_EQ(sim.GetCoil(3, 0), true);
    EXPECT_EQ(sim.GetCoil(3, 1), false);
    EXPECT_FALSE(sim.GetHoldingRegister(3, 50)); // the table has 50 registers
}

struct BadCase {
    const char* json;
    const char* error;
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.error;
}

class BadScenarioTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadScenarioTest, SaysWhereItIsWrong) {
    Scenario s;
    std::string error;
    EXPECT_FALSE(ParseScenario(GetParam().json, LineConfig{}, s, &error));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadScenarioTest,
    ::testing::Values(
        BadCase{"{", "scenario: not valid JSON"},
        BadCase{R"({"line": {"bauds": 9600}})", "line: unknown key \"bauds\""},
        BadCase{R"({"line": {"parity": "mark"}})",
                "line.parity: must be \"none\", \"even\" or \"odd\""},
        BadCase{R"({"stations": [{"address": 32}]})", "stations[0].address: must be 1 to 31"},
        BadCase{R"({"stations": [{"coils": 5}]})", "stations[0]: needs an \"address\""},
        BadCase{R"({"stations": [{"address": 1, "faults": [{"kind": "late", "count": 1,
                   "probability": 0.5}]}]})",
                "stations[0].faults[0]: give either \"count\" or \"probability\""},
        BadCase{R"({"stations": [{"address": 1, "values": {"coils": [{"address": 0,
                   "values": [2]}]}}]})",
                "stations[0].values.coils[0].values: entries must be 0 to 1"}));

TEST(Trace, DecodesBothDirections) {
    std::vector<uint8_t> request{0x01, 0x03, 0x00, 0x64, 0x00, 0x0A};
    AppendCrc(request);
    EXPECT_EQ(DescribeRequestFrame(request),
              "st 1 fn 03 read registers addr 100 count 10 | CRC ok");
    // A block of one record (event 12 set at 10:07:05.456) and the overflow marker.
    std::vector<uint8_t> block{0x05, 0x42, 10, 12, 0, 1, 56, 4, 5, 7, 10, 0xFF, 0xFF};
    AppendCrc(block);
    EXPECT_EQ(DescribeReplyFrame(block), "st 5 fn 42 event next block 10 bytes [ev 12=1 "
                                         "10:07:05.456] [overflow marker] | CRC ok");
    block.back() ^= 1;
    EXPECT_NE(DescribeReplyFrame(block).find("CRC BAD"), std::string::npos);
    EXPECT_EQ(DescribeReplyFrame(std::vector<uint8_t>{0x05}), "fragment | too short for a CRC");
}

} // namespace
} // namespace h51sim
