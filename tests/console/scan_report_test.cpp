// The pieces of merixhost --scan that need no line: its comma lists, and what its report and
// its CSV make of the stations found.
#include <gtest/gtest.h>

#include "host/console/scan_lists.h"
#include "host/console/scan_progress.h"
#include "host/console/scan_report.h"

namespace merixhost {
namespace {

using Ints = std::vector<int>;

TEST(ScanLists, StationsInEveryFormTheUserWrites) {
    struct Case {
        const char* text;
        std::optional<Ints> want;
    };
    const Case cases[] = {
        {"1-8", Ints{1, 2, 3, 4, 5, 6, 7, 8}},
        {"1,4,7-9", Ints{1, 4, 7, 8, 9}},
        {"9,1,7-9,1", Ints{1, 7, 8, 9}},
        {"31", Ints{31}},
        {"0-3", std::nullopt},
        {"30-32", std::nullopt},
        {"5-2", std::nullopt},
        {"1,,2", std::nullopt},
        {"", std::nullopt},
        {"1-", std::nullopt},
        {"x", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseStationList(c.text), c.want) << c.text;
    }
    EXPECT_EQ(StationListText(*ParseStationList("1-31")), "1-31");
    EXPECT_EQ(StationListText(Ints{2, 7, 30}), "2,7,30");
    EXPECT_EQ(StationListText(Ints{1, 2, 3, 4, 9}), "1-4,9");
}

TEST(ScanLists, BaudRatesAndParities) {
    EXPECT_EQ(ParseBaudList("9600"), Ints{9600});
    EXPECT_EQ(ParseBaudList("9600,19200,38400"), (Ints{9600, 19200, 38400}));
    for (const char* bad : {"", "49", "65536", "9600,", "9600 ,19200", "fast"}) {
        EXPECT_FALSE(ParseBaudList(bad)) << bad;
    }
    EXPECT_EQ(ParseParityList("even,none"), (Ints{2, 0}));
    EXPECT_EQ(ParseParityList("O,S,mark"), (Ints{1, 4, 3}));
    EXPECT_FALSE(ParseParityList("even,Even"));
    EXPECT_EQ(ParityName(2), "even");
}

ProbeResult Value(int station, uint16_t value, uint32_t turn) {
    ProbeResult r;
    r.station = station;
    r.answer = StationAnswer::Value;
    r.value = value;
    r.turnaroundUs = turn;
    return r;
}

ProbeResult Exception(int station, int code) {
    ProbeResult r;
    r.station = station;
    r.answer = StationAnswer::Exception;
    r.exceptionCode = code;
    r.turnaroundUs = 2500;
    return r;
}

SettingOutcome Setting(int baud, int parity, const char* line, std::vector<ProbeResult> found) {
    SettingOutcome o;
    o.baud = baud;
    o.parityCode = parity;
    o.line = line;
    o.opened = true;
    o.tried = 31;
    o.found = std::move(found);
    return o;
}

TEST(ScanReport, TheSettingWithTheMostStationsOrTheTie) {
    const auto slow = Setting(9600, 2, "9600 8E1", {Value(4, 1, 9000)});
    const auto fast = Setting(19200, 2, "19200 8E1", {Value(2, 7, 3100), Exception(7, 2)});
    const auto odd = Setting(19200, 1, "19200 8O1", {Value(3, 1, 3000), Value(5, 1, 3000)});
    SettingOutcome closed = Setting(38400, 0, "38400 8N1", {});
    closed.opened = false;
    struct Case {
        std::vector<SettingOutcome> outcomes;
        std::string want;
    };
    const Case cases[] = {
        {{slow, fast}, "put in the host: 19200 baud, parity even (2 stations)"},
        {{slow}, "put in the host: 9600 baud, parity even (1 station)"},
        {{slow, fast, odd},
         "a tie: 19200 baud, parity even and 19200 baud, parity odd found 2 stations each; check "
         "the stations' own settings"},
        {{closed}, "no station answered at any setting tried"},
        {{}, "no station answered at any setting tried"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Recommendation(c.outcomes), c.want);
    }
}

TEST(ScanReport, TableAndSettingLines) {
    auto fast = Setting(19200, 2, "19200 8E1", {Value(2, 1234, 3100), Exception(7, 2)});
    fast.echoes = true;
    fast.found[1].echoFaults = 1;
    fast.garbled = 1;
    auto closed = Setting(38400, 0, "38400 8N1", {});
    closed.opened = false;
    const std::vector<std::string> table = FoundTable({fast, closed});
    const std::vector<std::string> want{
        "STATION    BAUD  PARITY  ANSWER          TURN us  ECHO",
        "      2   19200  even    1234               3100  yes",
        "      7   19200  even    exception 2        2500  yes (1 bad)",
    };
    EXPECT_EQ(table, want);
    EXPECT_EQ(SettingLines({fast, closed}),
              (std::vector<std::string>{
                  "19200 8E1: 2 of 31 stations (2, 7); 1 garbled replies; the line echoes",
                  "38400 8N1: the port did not open"}));
    EXPECT_TRUE(FoundTable({closed}).empty());
}

TEST(ScanReport, Csv) {
    auto fast = Setting(19200, 2, "19200 8E1", {Value(2, 1234, 3100), Exception(7, -1)});
    fast.found[1].turnaroundUs.reset();
    EXPECT_EQ(FoundCsv({fast}),
              "baud,parity,station,answer,value,exception,turn_us,echo,echo_faults\n"
              "19200,even,2,value,1234,,3100,no,0\n"
              "19200,even,7,exception,,,,no,0\n");
}

TEST(ScanProgress, BarFillsInProportion) {
    EXPECT_EQ(ScanProgress::Bar(0, 62, 10), "[----------]    0/62");
    EXPECT_EQ(ScanProgress::Bar(31, 62, 10), "[#####-----]   31/62");
    EXPECT_EQ(ScanProgress::Bar(62, 62, 10), "[##########]   62/62");
    EXPECT_EQ(ScanProgress::Bar(0, 0, 4), "[####]    0/0");
}

} // namespace
} // namespace merixhost
