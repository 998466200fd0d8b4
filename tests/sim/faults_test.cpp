#include "sim/faults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <ranges>
#include <regex>
#include <sstream>

#include "serial/crc16.h"
#include "sim/line_timing.h"
#include "sim/options.h"
#include "sim/reply.h"

namespace h51sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Crc(Bytes frame) {
    AppendCrc(frame);
    return frame;
}

bool CrcOk(const Bytes& frame) {
    return merix::CrcMatches(frame.data(), static_cast<int>(frame.size()));
}

// Station 5's reply to a read of two registers.
const Bytes kReply = Crc({0x05, 0x03, 0x04, 0x01, 0x01, 0x01, 0x02});

TEST(ApplyFault, NoReplyLeavesNothing) {
    Rng rng(1);
    EXPECT_TRUE(ApplyFault({FaultKind::NoReply, 0}, kReply, 5, rng).bytes.empty());
}

TEST(ApplyFault, BadCrcKeepsTheBodyAndBreaksTheCrc) {
    Rng rng(1);
    const Bytes out = ApplyFault({FaultKind::BadCrc, 0}, kReply, 5, rng).bytes;
    ASSERT_EQ(out.size(), kReply.size());
    EXPECT_TRUE(std::equal(out.begin(), out.end() - 1, kReply.begin()));
    EXPECT_FALSE(CrcOk(out));
}

struct TruncCase {
    int param;
    size_t kept;
};

void PrintTo(const TruncCase& c, std::ostream* os) {
    *os << "keep " << c.param;
}

class TruncatedTest : public ::testing::TestWithParam<TruncCase> {};

TEST_P(TruncatedTest, KeepsAPrefixThatIsAlwaysShort) {
    Rng rng(1);
    const Bytes out = ApplyFault({FaultKind::Truncated, GetParam().param}, kReply, 5, rng).bytes;
    EXPECT_EQ(out, Bytes(kReply.begin(), kReply.begin() + GetParam().kept));
}

// 9-byte reply: 0 keeps half, 1 keeps the station byte only, 9 or more still drops the last.
INSTANTIATE_TEST_SUITE_P(Lengths, TruncatedTest,
                         ::testing::Values(TruncCase{0, 4}, TruncCase{1, 1}, TruncCase{3, 3},
                                           TruncCase{9, 8}, TruncCase{100, 8}));

TEST(ApplyFault, WrongStationIsAWellFormedFrameOfAnother) {
    Rng rng(1);
    const Bytes other = ApplyFault({FaultKind::WrongStation, 0}, kReply, 5, rng).bytes;
    EXPECT_EQ(other, Crc({0x06, 0x03, 0x04, 0x01, 0x01, 0x01, 0x02}));
    const Bytes given = ApplyFault({FaultKind::WrongStation, 17}, kReply, 31, rng).bytes;
    EXPECT_EQ(given[0], 17);
    EXPECT_EQ(ApplyFault({FaultKind::WrongStation, 0}, kReply, 31, rng).bytes[0], 1);
}

TEST(ApplyFault, LateDelaysAndNoisePrecedesTheReply) {
    Rng rng(1);
    const FaultedReply late = ApplyFault({FaultKind::Late, 750}, kReply, 5, rng);
    EXPECT_EQ(late.bytes, kReply);
    EXPECT_EQ(late.delay, std::chrono::milliseconds(750));
    const Bytes noisy = ApplyFault({FaultKind::Noise, 4}, kReply, 5, rng).bytes;
    ASSERT_EQ(noisy.size(), kReply.size() + 4);
    EXPECT_TRUE(std::equal(kReply.begin(), kReply.end(), noisy.begin() + 4));
}

TEST(FaultPlan, ScriptComesFirstThenSeededRollsRepeatWithTheSeed) {
    FaultPlan a(42);
    FaultPlan b(42);
    a.Script({FaultKind::BadCrc, 0}, 2);
    EXPECT_EQ(a.Next()->kind, FaultKind::BadCrc);
    EXPECT_EQ(a.Next()->kind, FaultKind::BadCrc);
    EXPECT_FALSE(a.Next());
    a.AddRandom({FaultKind::NoReply, 0}, 0.3);
    b.AddRandom({FaultKind::NoReply, 0}, 0.3);
    int hits = 0;
    for (int i = 0; i < 1000; ++i) {
        const bool hit = a.Next().has_value();
        ASSERT_EQ(hit, b.Next().has_value()) << "roll " << i;
        hits += hit ? 1 : 0;
    }
    EXPECT_GT(hits, 200);
    EXPECT_LT(hits, 400);
    a.Clear();
    EXPECT_FALSE(a.Next());
    a.Script({FaultKind::RefusePoll, 0}, 1);
    EXPECT_FALSE(a.Next(0x43)) << "only a poll for the next block is refused";
    EXPECT_EQ(a.Next(0x42)->kind, FaultKind::RefusePoll);
}

TEST(FaultKindNames, RoundTrip) {
    for (size_t i = 0; i < kFaultKinds; ++i) {
        const FaultKind k = kFaultKindNames[i].first;
        EXPECT_EQ(static_cast<size_t>(k), i) << "the table follows the enum: counts index by it";
        EXPECT_EQ(ParseFaultKind(FaultKindName(k)), k);
    }
    EXPECT_FALSE(ParseFaultKind("bad crc"));
}

// The man page's list of kinds, "no_reply, bad_crc, ... or refuse_poll; repeatable.", is
// written for readers; it names exactly the table's kinds, in its order.
TEST(FaultKindNames, ManPageListsEveryKindAndNoOther) {
    std::ifstream in(H51SIM_MAN_PAGE);
    ASSERT_TRUE(in) << H51SIM_MAN_PAGE;
    std::stringstream page;
    page << in.rdbuf();
    std::string text = page.str();
    std::replace(text.begin(), text.end(), '\n', ' ');
    const size_t from = text.find(".IR kind : ");
    const size_t to = text.find("; repeatable", from);
    ASSERT_NE(to, std::string::npos) << "the --fault entry's list of kinds";
    std::string list = text.substr(from + 11, to - from - 11);
    std::vector<std::string> listed;
    for (std::regex word("[a-z_]+");
         const auto& m : std::ranges::subrange(std::sregex_iterator(list.begin(), list.end(), word),
                                               std::sregex_iterator())) {
        if (m.str() != "or") {
            listed.push_back(m.str());
        }
    }
    std::vector<std::string> names;
    for (const auto& [kind, name] : kFaultKindNames) {
        names.emplace_back(name);
    }
    EXPECT_EQ(listed, names) << "docs/man/h51sim.1 follows kFaultKindNames";
}

TEST(ManPage, NamesEveryOptionOfTheHelp) {
    Options options;
    char name[] = "h51sim";
    char help[] = "--help";
    char* argv[] = {name, help};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(ParseOptions(2, argv, options), 0);
    const std::string text = ::testing::internal::GetCapturedStdout();
    std::ifstream in(H51SIM_MAN_PAGE);
    std::stringstream page;
    page << in.rdbuf();
    // roff escapes each minus of an option: \-\-any\-baud
    const std::string unescaped = std::regex_replace(page.str(), std::regex(R"(\\-)"), "-");
    const std::regex option("--[a-z0-9-]+");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it) {
        EXPECT_NE(unescaped.find(it->str()), std::string::npos)
            << "docs/man/h51sim.1 lacks " << it->str();
    }
    EXPECT_NE(text.find("--tap"), std::string::npos) << text;
}

struct TimingCase {
    int baud;
    int dataBits;
    Parity parity;
    int stopBits;
    int bits;
    int64_t charNs;
};

void PrintTo(const TimingCase& c, std::ostream* os) {
    *os << c.baud << " baud, " << c.bits << " bits";
}

class LineTimingTest : public ::testing::TestWithParam<TimingCase> {};

TEST_P(LineTimingTest, CharacterTimeCountsEveryBit) {
    const TimingCase& c = GetParam();
    LineConfig line;
    line.baud = c.baud;
    line.dataBits = c.dataBits;
    line.parity = c.parity;
    line.stopBits = c.stopBits;
    const LineTiming t(line);
    EXPECT_EQ(t.BitsPerChar(), c.bits);
    EXPECT_EQ(t.CharTime().count(), c.charNs);
    EXPECT_EQ(t.Turnaround(), t.CharTime() * 7 / 2); // 3.5 characters by default
}

INSTANTIATE_TEST_SUITE_P(Lines, LineTimingTest,
                         ::testing::Values(TimingCase{9600, 8, Parity::Even, 1, 11, 1145833},
                                           TimingCase{9600, 8, Parity::None, 1, 10, 1041667},
                                           TimingCase{19200, 8, Parity::None, 2, 11, 572917},
                                           TimingCase{1200, 7, Parity::Odd, 1, 10, 8333333}));

TEST(LineTiming, ReplyStartsAfterTheRequestsWireTimeAndTheTurnaround) {
    LineConfig line;
    line.turnaroundMs = 5.0;
    const LineTiming t(line);
    const auto t0 = LineTiming::Clock::now();
    EXPECT_EQ(t.ReplyStart(t0, 8) - t0, t.CharTime() * 8 + std::chrono::milliseconds(5));
    EXPECT_EQ(t.ByteDeadline(t0, 0) - t0, t.CharTime());
    EXPECT_EQ(t.ByteDeadline(t0, 9) - t0, t.CharTime() * 10);
}

TEST(LineTiming, ValidationNamesTheBadSetting) {
    const char* why = nullptr;
    LineConfig line;
    EXPECT_TRUE(ValidateLineConfig(line, &why));
    line.stopBits = 3;
    EXPECT_FALSE(ValidateLineConfig(line, &why));
    EXPECT_STREQ(why, "stop bits must be 1 or 2");
}

} // namespace
} // namespace h51sim
