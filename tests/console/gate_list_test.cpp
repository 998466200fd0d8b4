// The gate list parser: what it takes, and every way a line can be wrong, with its number.
#include <gtest/gtest.h>

#include "host/console/gate_list.h"

namespace merixhost {
namespace {

using namespace std::chrono_literals;

TEST(GateList, TakesEveryFieldAndSkipsCommentsAndBlankLines) {
    const GateList list = ParseGateList("# a comment\n"
                                        "\n"
                                        "   \t  \n"
                                        "level      01300100 0\n"
                                        "speeds\t02300000\t0\t4\tevery=500ms   # trailing comment\n"
                                        "bit        \"0130010 \" 6\n"
                                        "alarm      E050012  6 every=2s\n"
                                        "events     07$EVENT 0\r\n"
                                        "clock      $TIME    0\n"
                                        "gap        IFG      0\n");
    ASSERT_TRUE(list.errors.empty()) << list.errors[0].line << ": " << list.errors[0].message;
    ASSERT_EQ(list.gates.size(), 7u);
    const GateEntry& level = list.gates[0];
    EXPECT_EQ(level.name, "level");
    EXPECT_EQ(level.address, "01300100");
    EXPECT_EQ(level.type, 0);
    EXPECT_EQ(level.blockLength, 0);
    EXPECT_FALSE(level.interval);
    EXPECT_EQ(level.line, 4);
    EXPECT_EQ(list.gates[1].blockLength, 4);
    EXPECT_EQ(list.gates[1].interval, 500ms);
    EXPECT_EQ(list.gates[2].address, "0130010 ") << "quotes keep the blank at position 7";
    EXPECT_EQ(list.gates[3].interval, 2000ms);
    EXPECT_EQ(list.gates[3].blockLength, 0);
    EXPECT_EQ(list.gates[4].address, "07$EVENT");
    EXPECT_EQ(list.gates[4].line, 8);
    EXPECT_NE(FindGate(list, "gap"), nullptr);
    EXPECT_EQ(FindGate(list, "nothing"), nullptr);
}

TEST(GateList, AddressesTheDriverWillRefuseAreStillTaken) {
    // Whether an address is valid is the driver's business; the host shows its refusal.
    const GateList list = ParseGateList("a 01500100 0\nb 01300100 9\nc E990000 6\n");
    EXPECT_TRUE(list.errors.empty());
    EXPECT_EQ(list.gates.size(), 3u);
}

struct BadLine {
    const char* text;
    const char* expected; ///< a piece of the message
};

class GateListBadLine : public ::testing::TestWithParam<BadLine> {};

TEST_P(GateListBadLine, IsReportedWithItsLineNumberAndTheRestIsKept) {
    const std::string text =
        std::string("first 01300000 0\n# comment\n") + GetParam().text + "\nlast 01300001 0\n";
    const GateList list = ParseGateList(text);
    ASSERT_EQ(list.errors.size(), 1u);
    EXPECT_EQ(list.errors[0].line, 3);
    EXPECT_NE(list.errors[0].message.find(GetParam().expected), std::string::npos)
        << list.errors[0].message;
    ASSERT_EQ(list.gates.size(), 2u);
    EXPECT_EQ(list.gates[1].name, "last");
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, GateListBadLine,
    ::testing::Values(BadLine{"lonely", "got 1 field"}, BadLine{"level 01300000", "got 2 fields"},
                      BadLine{"9lives 01300000 0", "bad gate name '9lives'"},
                      BadLine{"tank=a 01300000 0", "bad gate name"},
                      BadLine{"level \"0130000 0", "unterminated quote"},
                      BadLine{"level \"01300\"00 0", "a blank must follow the closing quote"},
                      BadLine{"level 013\"00 0", "a quote may only open a field"},
                      BadLine{"level \"\" 0", "must have 1 to 31 characters"},
                      BadLine{"level 013000000000000000000000000000000000 0", "1 to 31 characters"},
                      BadLine{"level 01300000 digital", "gate type 'digital'"},
                      BadLine{"level 01300000 256", "gate type '256'"},
                      BadLine{"level 01300000 -1", "gate type '-1'"},
                      BadLine{"level 01300000 0 0", "block length '0'"},
                      BadLine{"level 01300000 0 10000", "block length '10000'"},
                      BadLine{"level 01300000 0 4x", "block length '4x'"},
                      BadLine{"level 01300000 0 every=soon", "interval 'soon'"},
                      BadLine{"level 01300000 0 every=5ms", "interval '5ms'"},
                      BadLine{"level 01300000 0 every=1s every=2s", "two intervals"},
                      BadLine{"level 01300000 0 4 8", "unexpected field '8'"},
                      BadLine{"events $EVENT 0", "needs its station in front"},
                      BadLine{"events 1$EVENT 0", "needs its station in front"},
                      BadLine{"first 01300002 0", "already defined on line 1"}),
    [](const ::testing::TestParamInfo<BadLine>& info) {
        return "Line" + std::to_string(info.index);
    });

TEST(GateList, ReportsEveryBadLine) {
    const GateList list = ParseGateList("a\nb 013 0\nc\n\nd 01300000 x\n");
    ASSERT_EQ(list.errors.size(), 3u);
    EXPECT_EQ(list.errors[0].line, 1);
    EXPECT_EQ(list.errors[1].line, 3);
    EXPECT_EQ(list.errors[2].line, 5);
    EXPECT_EQ(list.gates.size(), 1u);
}

TEST(GateList, MissingFileIsAnError) {
    GateList list;
    std::string error;
    EXPECT_FALSE(LoadGateList("/nonexistent/merix.gates", list, &error));
    EXPECT_NE(error.find("/nonexistent/merix.gates"), std::string::npos);
}

} // namespace
} // namespace merixhost
