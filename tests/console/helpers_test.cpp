// Durations, port names, CSV fields and station states as merixhost handles them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

#include "host/console/csv_export.h"
#include "host/console/duration.h"
#include "host/console/port_name.h"
#include "host/console/scan_model.h"
#include "host/console/station_health.h"

namespace merixhost {
namespace {

using namespace std::chrono_literals;

TEST(Duration, ParsesNumbersWithAndWithoutUnits) {
    const std::pair<const char*, std::optional<Millis>> cases[] = {
        {"500ms", 500ms},
        {"2s", 2000ms},
        {"1.5s", 1500ms},
        {"2", 2000ms},
        {"0.25", 250ms},
        {"1m", 60000ms},
        {"0", 0ms},
        {"", std::nullopt},
        {"s", std::nullopt},
        {"-1s", std::nullopt},
        {"1h", std::nullopt},
        {"1 s", std::nullopt},
        {"1e3", std::nullopt},
        {"nan", std::nullopt},
        {"99999999999999999", std::nullopt}};
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ParseDuration(text), expected) << "'" << text << "'";
    }
    EXPECT_EQ(FormatDuration(500ms), "500ms");
    EXPECT_EQ(FormatDuration(2000ms), "2s");
    EXPECT_EQ(FormatDuration(1500ms), "1.5s");
    EXPECT_EQ(FormatDuration(120000ms), "2m");
}

TEST(PortName, ShortNamesGoToTheHostAndTheRestToPort) {
    const struct {
        const char* device;
        const char* name;     // the host's port name
        const char* portLine; // PORT in the driver's initialisation file
    } cases[] = {
        {"/dev/pts/7", "/dev/pts/7", ""},
        {"/dev/ttyUSB0", "ttyUSB0", ""}, // the driver looks a name without '/' up under /dev
        {"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", "merixhost",
         "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"},
        {"tcp://nport:4001", "merixhost", "tcp://nport:4001"},
        {"rfc2217://1", "merixhost", "rfc2217://1"}, // short, but no device
    };
    for (const auto& c : cases) {
        const PortName port(c.device);
        EXPECT_EQ(port.Name(), c.name) << c.device;
        EXPECT_EQ(port.PortLine(), c.portLine) << c.device;
    }
}

TEST(CsvField, QuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(CsvExport::Field("01300100"), "01300100");
    EXPECT_EQ(CsvExport::Field("1 2 3"), "1 2 3");
    EXPECT_EQ(CsvExport::Field("a,b"), "\"a,b\"");
    EXPECT_EQ(CsvExport::Field("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(CsvExport::Field("two\nlines"), "\"two\nlines\"");
}

TEST(StationState, ADemotionShowsWithItsSecondsUnlessTheStationIsSwitchedOff) {
    const struct {
        uint32_t plcState;
        std::optional<uint32_t> demotedLeft; // the DEML gate; unset: not read
        const char* shown;                   // the views
        const char* name;                    // the stations CSV
    } cases[] = {
        {merix::kCommunicating, 0, "communicating", "communicating"},
        {merix::kInError, 0, "in error", "in error"},
        {merix::kInError, 7, "demoted 7 s", "demoted"},
        {merix::kCommunicating, 3, "demoted 3 s", "demoted"}, // warm-started, the period runs
        {merix::kSwitchedOff, 7, "switched off", "switched off"},
        {merix::kInError, std::nullopt, "in error", "in error"}, // a driver without statistics
    };
    for (const auto& c : cases) {
        StationStats stats;
        stats.counters[static_cast<size_t>(Counter::kDemotedLeft)] = c.demotedLeft;
        EXPECT_EQ(StationStateShown(stats, c.plcState), c.shown) << c.shown;
        EXPECT_STREQ(StationStateText(stats, c.plcState), c.name) << c.shown;
    }
}

// Station 1's counters read twice, `seconds` apart; its health after the second read.
TEST(StationHealth, ReadsAsNamurSignalsWithTheHeavierWinning) {
    using H = Health;
    const struct {
        const char* what;
        uint32_t plcState;
        uint32_t demotedLeft;
        uint32_t retriesBefore, retries, crcBefore, crc;
        int seconds;
        Health health;
    } cases[] = {
        {"quiet", merix::kCommunicating, 0, 4, 4, 1, 1, 10, H::kGood},
        {"retries rising", merix::kCommunicating, 0, 4, 5, 1, 1, 10, H::kOutOfSpecification},
        {"CRC rising", merix::kCommunicating, 0, 4, 4, 1, 2, 10, H::kOutOfSpecification},
        {"a rise a minute old", merix::kCommunicating, 0, 4, 5, 1, 1, 61, H::kGood},
        {"counters cleared", merix::kCommunicating, 0, 9, 0, 9, 0, 10, H::kGood},
        {"in error", merix::kInError, 0, 4, 4, 1, 1, 10, H::kFailure},
        {"demoted, warm-started", merix::kCommunicating, 5, 4, 4, 1, 1, 10, H::kFailure},
        {"switched off", merix::kSwitchedOff, 0, 4, 9, 1, 1, 10, H::kFunctionCheck},
    };
    for (const auto& c : cases) {
        StationHealth health;
        StationTable table{};
        uint32_t states[merix::kStationCount] = {};
        const auto set = [&](uint32_t retries, uint32_t crc) {
            for (const Counter k : {Counter::kRetry, Counter::kCrc, Counter::kDemotedLeft}) {
                table[1].counters[static_cast<size_t>(k)] = 0;
            }
            table[1].counters[static_cast<size_t>(Counter::kRetry)] = retries;
            table[1].counters[static_cast<size_t>(Counter::kCrc)] = crc;
        };
        const SteadyTime start{};
        set(c.retriesBefore, c.crcBefore);
        health.Update(table, states, start);
        set(c.retries, c.crc);
        table[1].counters[static_cast<size_t>(Counter::kDemotedLeft)] = c.demotedLeft;
        states[1] = c.plcState;
        health.Update(table, states, start + std::chrono::seconds(c.seconds));
        EXPECT_EQ(health.Of(1), c.health) << c.what;
    }
}

} // namespace
} // namespace merixhost
