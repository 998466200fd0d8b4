// The scanner against a scripted driver: how gates are classified, which gates the scan
// adds, what a round of reads leaves in the table, how the driver's statistics gates fill
// the station table, and which writes the host refuses before the driver sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <stdexcept>

#include "host/console/scanner.h"
#include "host/console/summary.h"
#include "host/qorlib_control.h"

namespace merixhost {
namespace {

using namespace std::chrono_literals;

/// What the scripted driver saw.
struct FakeDriver {
    std::vector<std::string> reads;
    std::map<int32_t, int16_t> writes; ///< address -> value
    bool statistics = true;            ///< false: a driver without statistics gates
    std::vector<std::string> statisticParses;
    std::map<int32_t, uint16_t> demotedLeft; ///< station -> its DEML gate; 0 when not given
};
FakeDriver g_fake;

int32_t Number(const char* text, size_t from, size_t count) {
    int32_t value = 0;
    for (size_t i = from; i < from + count && text[i] != '\0'; ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

/// The driver's counter names in their index order.
constexpr const auto& kCounters = merix::kLineCounterNames;
constexpr int32_t kStatisticsBase = 256;

/// A statistics gate's value: station S, counter i reads S * 100 + i, the whole line 40000 + i
/// (beyond a signed 16-bit word); DEML, the seconds of a demotion, reads demotedLeft.
uint16_t CounterValue(int32_t address) {
    const int32_t station = (address - kStatisticsBase) / 16;
    const int32_t index = (address - kStatisticsBase) % 16;
    if (static_cast<Counter>(index) == Counter::kDemotedLeft) {
        const auto it = g_fake.demotedLeft.find(station);
        return it == g_fake.demotedLeft.end() ? 0 : it->second;
    }
    return static_cast<uint16_t>((station == 0 ? 40000 : station * 100) + index);
}

int32_t FakeParse(merix::GateParseRecord& rec) {
    const char* text = rec.addressString;
    if (std::strncmp(text, "ST", 2) == 0) {
        g_fake.statisticParses.emplace_back(text);
        if (!g_fake.statistics) {
            QorErr(32, "MERIX> Run Time Error %d", 3060);
            return 1;
        }
        for (int32_t i = 0; i < static_cast<int32_t>(std::size(kCounters)); ++i) {
            if (kCounters[static_cast<size_t>(i)] == text + 4 && rec.gateType == 0) {
                rec.station = 255;
                rec.function = 80;
                rec.address = kStatisticsBase + Number(text, 2, 2) * 16 + i;
                return 0;
            }
        }
        return 1;
    }
    if (std::strcmp(text, "01500100") == 0) {
        QorErr(32, "MERIX> Run Time Error %d", 3080);
        return 1;
    }
    if (const char* dollar = std::strchr(text, '$')) {
        if (dollar == text + 2) {
            rec.station = Number(text, 0, 2);
        }
        rec.address = std::strstr(text, "EVENT") ? 0xFFFD : 0xFFFC;
        return 0;
    }
    if (std::strcmp(text, "IFG") == 0) {
        rec.station = 255;
        rec.function = 80;
        rec.address = 253;
        return 0;
    }
    if (text[0] == 'E' || text[0] == 'e') {
        rec.station = Number(text, 1, 2);
        rec.function = 69;
        rec.address = Number(text, 3, 4);
        return 0;
    }
    rec.station = Number(text, 0, 2);
    rec.function = text[2] - '0';
    rec.address = Number(text, 3, 5);
    return 0;
}

int32_t FakeVpiMain(merix::CallBlock* cb) {
    switch (cb->command) {
    case merix::kGetVpiInfo:
        static_cast<merix::VpiInfo*>(cb->params)->contextSize = sizeof(merix::DriverContext);
        return 0;
    case merix::kSingleAddressParser:
    case merix::kBlockAddressParser:
        return FakeParse(*static_cast<merix::GateParseRecord*>(cb->params));
    case merix::kSingleRead:
    case merix::kBlockRead:
        break;
    case merix::kSingleWrite: {
        auto& rec = *static_cast<merix::GateAccessRecord*>(cb->params);
        int16_t word = 0;
        std::memcpy(&word, static_cast<uint8_t*>(rec.valuePtr) + 2, 2);
        g_fake.writes[rec.address] = word;
        return 0;
    }
    default:
        return 0;
    }
    auto& rec = *static_cast<merix::GateAccessRecord*>(cb->params);
    g_fake.reads.push_back(rec.addressString);
    auto* value = static_cast<uint8_t*>(rec.valuePtr);
    if (rec.function == 80 && rec.address >= kStatisticsBase) {
        const uint16_t word = CounterValue(rec.address);
        std::memcpy(value + 2, &word, 2);
        return 0;
    }
    if (rec.address == 0xFFFD) {
        uint32_t id = 0;
        if (QorGetGateIdByAddressStr(0, 1, "E010003", &id) == 0) {
            QorPutGateVal(0, id, 0, 1.0, 1000, 5);
        }
        return 0;
    }
    if (rec.station == 2) {
        QorErr(8, "MERIX> DoRead() : sRetry=%d, iRlen=%d", 4, 0);
        QorErr(8, "MERIX> DoRead() : sRetry=%d, iRlen=%d", 3, 0);
        return 2;
    }
    for (int32_t i = 0; i < rec.count; ++i) {
        const auto word = static_cast<int16_t>(rec.count == 1 ? rec.address + 1 : i);
        std::memcpy(value + (rec.count == 1 ? 2 : 2 * i), &word, 2);
    }
    return 0;
}

/// "OK 100, FAIL 101, ..., TURN 108 us, ..., DEML 0 s": every counter under its name, counter
/// i of a station as CounterValue gives it from `first` and DEML `demotedLeft`; "-" for each
/// when the counters were not read.
std::string Counts(std::optional<int> first, int demotedLeft = 0) {
    std::string text;
    for (size_t i = 0; i < kCounterCount; ++i) {
        const auto counter = static_cast<Counter>(i);
        const int value = counter == Counter::kDemotedLeft
                              ? demotedLeft
                              : first.value_or(0) + static_cast<int>(i);
        text += (i == 0 ? "" : ", ") + std::string(kCounters[i]) + " " +
                (first ? std::to_string(value) : "-") +
                (counter == Counter::kTurnaround    ? " us"
                 : counter == Counter::kDemotedLeft ? " s"
                                                    : "");
    }
    return text;
}

class ScannerTest : public ::testing::Test {
protected:
    void SetUp() override {
        qorlib::Reset();
        g_fake = {};
        log.Install();
        log.SetDirect(false);
        log.SetScreenLevel(99);
        scanner.Prepare(ParseGateList("level    01300100 0\n"
                                      "speeds   01300000 0 3 every=2s\n"
                                      "dead     02300000 0\n"
                                      "gap      IFG      0\n"
                                      "broken   01500100 0\n"
                                      "alarm    E010003  6\n"
                                      "lower    e010002  6\n"));
    }
    void TearDown() override {
        log.SetTap(nullptr);
        log.Uninstall();
    }
    const GateState& Gate(const std::string& name) const {
        for (const auto& g : scanner.Gates()) {
            if (g.entry.name == name) {
                return g;
            }
        }
        throw std::runtime_error("no gate " + name);
    }
    void RunRound(SteadyTime now) {
        while (scanner.RunNext(now)) {
        }
    }

    DriverInstance driver{FakeVpiMain, 1};
    LogRouter log;
    Scanner scanner{driver, log, ScanSettings{1000ms, 500ms, true, std::nullopt}};
};

TEST_F(ScannerTest, ClassifiesGatesAndAddsTheEventPollAndTheClock) {
    EXPECT_EQ(Gate("level").kind, GateKind::Single);
    EXPECT_EQ(Gate("speeds").kind, GateKind::Block);
    EXPECT_EQ(Gate("gap").kind, GateKind::Internal);
    EXPECT_EQ(Gate("alarm").kind, GateKind::EventGate);
    EXPECT_EQ(Gate("lower").eventAddress, "E010002") << "the text the driver looks up";
    EXPECT_FALSE(Gate("broken").Accepted());
    EXPECT_EQ(Gate("broken").parseNote, "Run Time Error 3080");

    const GateState& poll = Gate("(st01 events)");
    EXPECT_TRUE(poll.synthetic);
    EXPECT_EQ(poll.kind, GateKind::EventPoll);
    EXPECT_EQ(poll.rec.station, 1);
    EXPECT_EQ(poll.interval, 500ms);
    EXPECT_EQ(poll.eventGates.size(), 2u);
    EXPECT_EQ(Gate("(time sync)").kind, GateKind::TimeSync);
    for (const auto& g : scanner.Gates()) {
        EXPECT_FALSE(g.kind == GateKind::EventPoll && g.rec.station == 2)
            << "station 2 has no event gates";
    }
    // The driver counts and finds event gates among the host's definitions.
    uint32_t id = 0;
    EXPECT_EQ(QorGetGateIdByAddressStr(0, 1, "E010003", &id), 0);
    EXPECT_EQ(QorGetGateIdByAddressStr(0, 1, "E010002", &id), 0);
    EXPECT_TRUE(scanner.Stations()[1].used);
    EXPECT_TRUE(scanner.Stations()[2].used);
    EXPECT_FALSE(scanner.Stations()[255 % 32].used) << "internal gates are no station";
}

TEST_F(ScannerTest, ARoundReadsEveryGateOnceAndKeepsValuesEventsAndCounts) {
    const SteadyTime t0 = std::chrono::steady_clock::now();
    scanner.Start(t0);
    RunRound(t0);
    EXPECT_EQ(g_fake.reads.size(), 5u) << "level, speeds, dead, gap and the event poll";
    EXPECT_EQ(Gate("level").valueText, "101");
    EXPECT_EQ(Gate("speeds").valueText, "0 1 2");
    EXPECT_EQ(Gate("level").lastResult, 0);
    EXPECT_TRUE(Gate("level").lastGood.has_value());
    EXPECT_EQ(Gate("dead").lastResult, 2);
    EXPECT_FALSE(Gate("dead").lastGood.has_value());
    EXPECT_EQ(g_fake.writes.count(0xFFFC), 1u) << "the clocks are set once at the start";
    EXPECT_FALSE(scanner.Stations()[2].Counted()) << "the host counts nothing itself";

    ASSERT_EQ(scanner.RecentEvents().size(), 1u);
    const EventRecord& e = scanner.RecentEvents().front();
    EXPECT_EQ(e.gate, "alarm");
    EXPECT_EQ(e.station, 1);
    EXPECT_EQ(e.number, 3);
    EXPECT_EQ(e.seconds, 1000);
    EXPECT_EQ(e.millis, 5);
    EXPECT_EQ(scanner.EventCount(), 1u);
    EXPECT_EQ(Gate("(st01 events)").valueText, "1- +1") << "alarm 1, lower not known, one event";
    EXPECT_TRUE(qorlib::History("E010003", 1).empty()) << "the host's history is consumed";
}

TEST_F(ScannerTest, EachGateFallsDueAgainAfterItsOwnInterval) {
    const SteadyTime t0 = std::chrono::steady_clock::now();
    scanner.Start(t0);
    RunRound(t0);
    EXPECT_FALSE(scanner.RunNext(t0));
    EXPECT_EQ(Gate("(st01 events)").due, t0 + 500ms);
    EXPECT_EQ(Gate("level").due, t0 + 1000ms);
    EXPECT_EQ(Gate("speeds").due, t0 + 2000ms);
    EXPECT_EQ(Gate("(time sync)").due, SteadyTime::max()) << "no --time-sync-every";
    EXPECT_EQ(Gate("broken").due, SteadyTime::max());
    EXPECT_EQ(scanner.NextDue(), t0 + 500ms);

    // Late by a whole interval, the event poll runs once and starts over from now.
    g_fake.reads.clear();
    RunRound(t0 + 1000ms);
    EXPECT_EQ(g_fake.reads, (std::vector<std::string>{"01$EVENT", "01300100", "02300000", "IFG"}));
    EXPECT_GE(Gate("(st01 events)").due, t0 + 1500ms);
}

TEST_F(ScannerTest, TheDriversCountersFillTheStationTable) {
    // The whole line first, then each station the list talks to: every counter of each.
    ASSERT_EQ(g_fake.statisticParses.size(), 3u * kCounterCount);
    EXPECT_EQ(g_fake.statisticParses.front(), "ST00OK");
    EXPECT_EQ(g_fake.statisticParses.back(), "ST02" + std::string(kCounters[kCounterCount - 1]));
    // Station 2 is demoted, 7 s to go; the whole line's DEML is the longest.
    g_fake.demotedLeft = {{2, 7}, {0, 7}};
    scanner.ReadStatistics();
    for (size_t st : {0u, 1u, 2u}) {
        for (size_t i = 0; i < kCounterCount; ++i) {
            EXPECT_EQ(scanner.Stations()[st].counters[i],
                      CounterValue(kStatisticsBase + static_cast<int32_t>(st * 16 + i)))
                << "station " << st << " " << kCounters[i];
        }
    }
    EXPECT_FALSE(scanner.Stations()[3].Counted()) << "not in the list";
    EXPECT_EQ(StationLines(scanner),
              (std::vector<std::string>{"station 1: " + Counts(100) + ", communicating",
                                        "station 2: " + Counts(200, 7) + ", demoted 7 s",
                                        "line: " + Counts(40000, 7)}));
    EXPECT_NE(StationLines(scanner)[0].find("TURN 108 us"), std::string::npos)
        << "the turnaround, a value, carries its unit";
    const auto summary = SummaryLines(scanner, RunOutcome{});
    EXPECT_NE(std::find(summary.begin(), summary.end(), "  stations demoted: 1 of 2"),
              summary.end());

    // A driver without statistics refuses the first gate and is not asked for the others;
    // the stations are still listed, without counters.
    g_fake = {};
    g_fake.statistics = false;
    std::vector<std::string> reports;
    Scanner fresh{driver, log, ScanSettings{}};
    fresh.SetObserver(
        {nullptr, nullptr, [&](const std::string& line) { reports.push_back(line); }});
    fresh.Prepare(ParseGateList("level 01300100 0\n"));
    fresh.ReadStatistics();
    EXPECT_EQ(g_fake.statisticParses, std::vector<std::string>{"ST00OK"});
    EXPECT_EQ(reports.back(), "statistics: 'ST00OK' refused by the driver (Run Time Error 3060); "
                              "the stations show no counters");
    EXPECT_EQ(StationLines(fresh),
              std::vector<std::string>{"station 1: " + Counts(std::nullopt) + ", communicating"});
    EXPECT_EQ(DemotedLine(fresh), std::nullopt) << "no gate tells a demotion";
}

TEST_F(ScannerTest, WritesOnlyWhatTheDriverCanWrite) {
    std::string error;
    EXPECT_EQ(scanner.Write("level", -2, &error), 0);
    EXPECT_EQ(g_fake.writes.at(100), -2);
    EXPECT_EQ(scanner.Write("gap", 65535, &error), 0);
    EXPECT_EQ(g_fake.writes.at(253), -1) << "65535 is the 16-bit word 0xFFFF";

    const std::pair<const char*, const char*> refused[] = {{"speeds", "is a block"},
                                                           {"alarm", "events"},
                                                           {"broken", "refused by the driver"},
                                                           {"(time sync)", "no gate"},
                                                           {"nothing", "no gate"}};
    for (const auto& [name, why] : refused) {
        error.clear();
        EXPECT_FALSE(scanner.Write(name, 1, &error)) << name;
        EXPECT_NE(error.find(why), std::string::npos) << name << ": " << error;
    }
    EXPECT_EQ(g_fake.writes.size(), 2u);
}

} // namespace
} // namespace merixhost
