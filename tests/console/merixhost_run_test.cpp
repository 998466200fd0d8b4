// merixhost as a user runs it: against a simulated line on a pseudo-terminal with a gate
// list of the test's own, and as the demo. The CSV files show what it read and received.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "child_process.h"
#include "host/console/counter_columns.h"
#include "sim/simulator.h"

namespace merixhost::test {
namespace {

using namespace std::chrono_literals;
using Rows = std::vector<std::vector<std::string>>;

constexpr auto kRunTimeout = 180s; // a loaded machine under the sanitizers is slow

class MerixhostRun : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "merixhost.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string Path(const std::string& name) const { return dir + "/" + name; }
    void WriteFile(const std::string& name, const std::string& text) const {
        std::ofstream(Path(name)) << text;
    }
    /// Waits until `condition` holds for the file's text; the file grows while merixhost runs.
    static bool WaitForText(const std::string& path,
                            const std::function<bool(const std::string&)>& condition,
                            std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition(ReadText(path))) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    static bool HasRow(const Rows& rows, const std::vector<std::pair<size_t, std::string>>& want) {
        return std::any_of(rows.begin(), rows.end(), [&](const std::vector<std::string>& row) {
            return std::all_of(want.begin(), want.end(), [&](const auto& cell) {
                return cell.first < row.size() && row[cell.first] == cell.second;
            });
        });
    }
    std::vector<std::string> Command(std::vector<std::string> args) const {
        args.insert(args.begin(), MERIXHOST_EXE);
        return args;
    }

    std::string dir;
};

// Values CSV: time, gate, address, station, operation, result, value.
// Events CSV: received, station, event, gate, address, value, timestamp, kind.
// Stations CSV: time, station, each counter under its name in lower case (turn_us for the
// turnaround, deml_s for the demotion's seconds), with the state after the counters of the
// first files (before SHRT).

/// The stations CSV's header as the rule above makes it from the driver's counter names.
std::vector<std::string> StationsHeader() {
    std::vector<std::string> header{"time", "station"};
    for (size_t i = 0; i < kCounterCount; ++i) {
        if (static_cast<Counter>(i) == kFirstAddedCounter) {
            header.emplace_back("state");
        }
        std::string name(merix::kLineCounterNames[i]);
        std::transform(name.begin(), name.end(), name.begin(), [](char c) {
            return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        });
        const auto counter = static_cast<Counter>(i);
        header.push_back(counter == Counter::kTurnaround    ? name + "_us"
                         : counter == Counter::kDemotedLeft ? name + "_s"
                                                            : name);
    }
    return header;
}

/// Where `counter` stands in a row of the stations CSV.
size_t StationsColumn(Counter counter) {
    const auto i = static_cast<size_t>(counter);
    return 2 + i + (counter >= kFirstAddedCounter ? 1 : 0);
}

/// A line of two stations at 38400 8E1: station 1 with registers and three event gates,
/// station 2 with a coil set.
class ScannedLine : public MerixhostRun {
protected:
    void SetUp() override {
        MerixhostRun::SetUp();
        h51sim::LineConfig line;
        line.baud = 38400;
        line.parity = h51sim::Parity::Even;
        sim = std::make_unique<h51sim::Simulator>(line);
        h51sim::StationConfig one;
        one.address = 1;
        one.eventGates = 3;
        h51sim::StationConfig two;
        two.address = 2;
        std::string error;
        ASSERT_TRUE(sim->AddStation(one, &error)) << error;
        ASSERT_TRUE(sim->AddStation(two, &error)) << error;
        for (uint32_t i = 0; i < 3; ++i) {
            sim->SetHoldingRegister(1, i, static_cast<uint16_t>(i + 1));
        }
        sim->SetHoldingRegister(1, 10, 1234);
        sim->SetCoil(2, 3, true);
        ASSERT_TRUE(sim->Start(&error)) << error;
    }
    void TearDown() override {
        if (sim) {
            sim->Stop();
        }
        MerixhostRun::TearDown();
    }

    /// merixhost on the line with the test's gate list, a write, the clock set, every output
    /// file, and settings of its own over the user's initialisation file.
    std::vector<std::string> HostCommand() const {
        return Command({"--port",
                        sim->DeviceName(),
                        "--baud",
                        "38400",
                        "--parity",
                        "even",
                        "--reply-timeout",
                        "300ms",
                        "--gates",
                        Path("line.gates"),
                        "--ini-dir",
                        dir,
                        "--plain",
                        "--duration",
                        "600",
                        "--interval",
                        "200ms",
                        "--event-interval",
                        "200ms",
                        "--write",
                        "target=-2",
                        "--sync-time",
                        "--csv-values",
                        Path("values.csv"),
                        "--csv-events",
                        Path("events.csv"),
                        "--csv-stations",
                        Path("stations.csv"),
                        "--log",
                        Path("merix.log"),
                        "--trace",
                        Path("line.trace"),
                        "--demote",
                        "10",
                        "--retries",
                        "3",
                        "--retry-pause",
                        "20"});
    }

    /// Raises two events once merixhost has initialised station 1 (events buffered before
    /// are dropped by the initialisation), waits for them in the CSV, and stops merixhost.
    void RaiseEventsAndStop(ChildProcess& host) {
        ASSERT_TRUE(sim->WaitFor(
            [&] {
                for (const auto& f : sim->ReceivedFrames()) {
                    if (f.station == 1 && f.function == 0x41 && f.answered) {
                        return true;
                    }
                }
                return false;
            },
            std::chrono::duration_cast<std::chrono::milliseconds>(kRunTimeout)))
            << ReadText(Path("output.txt"));
        ASSERT_TRUE(sim->SetEvent(1, 0, true));
        ASSERT_TRUE(sim->SetEvent(1, 2, true));
        const bool delivered = WaitForText(
            Path("events.csv"),
            [](const std::string& text) {
                return text.find("E010000,1,") != std::string::npos &&
                       text.find("E010002,1,") != std::string::npos;
            },
            kRunTimeout);
        host.Signal(SIGTERM);
        EXPECT_EQ(host.Wait(kRunTimeout), 0);
        ASSERT_TRUE(delivered) << ReadText(Path("output.txt"));
    }

    void ExpectValues() const {
        const Rows values = ReadCsv(Path("values.csv"));
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(values[0][0], "time");
        EXPECT_TRUE(HasRow(values, {{1, "level"}, {3, "1"}, {4, "read"}, {5, "0"}, {6, "1234"}}));
        EXPECT_TRUE(HasRow(values, {{1, "block"}, {4, "read"}, {5, "0"}, {6, "1 2 3"}}));
        EXPECT_TRUE(HasRow(values, {{1, "flag"}, {3, "2"}, {5, "0"}, {6, "1"}}));
        EXPECT_TRUE(HasRow(values, {{1, "gap"}, {5, "0"}, {6, "7"}})) << "IFG from MERIX01.INI";
        EXPECT_TRUE(HasRow(values, {{1, "target"}, {4, "write"}, {5, "0"}, {6, "-2"}}));
        EXPECT_TRUE(HasRow(values, {{1, "(time sync)"}, {4, "write"}, {5, "0"}}));
        EXPECT_FALSE(HasRow(values, {{1, "bad"}})) << "a refused gate is not scanned";
        EXPECT_EQ(sim->GetHoldingRegister(1, 20), 0xFFFE);
        EXPECT_TRUE(sim->LastTimeSync().has_value());
    }

    void ExpectEvents() const {
        const Rows events = ReadCsv(Path("events.csv"));
        for (const char* gate : {"ev_a", "ev_b", "ev_c"}) {
            EXPECT_TRUE(HasRow(events, {{3, gate}, {5, "0"}, {7, "state"}})) << gate;
        }
        EXPECT_TRUE(HasRow(
            events, {{1, "1"}, {2, "0"}, {3, "ev_a"}, {4, "E010000"}, {5, "1"}, {7, "event"}}));
        EXPECT_TRUE(HasRow(events, {{2, "2"}, {3, "ev_c"}, {5, "1"}, {7, "event"}}));
        for (const auto& row : events) {
            if (row.size() == 8 && row[7] == "event") {
                EXPECT_EQ(row[6].size(), 23u) << "time stamp YYYY-MM-DD HH:MM:SS.mmm: " << row[6];
            }
        }
    }

    /// The driver's own counters, as read once more before it ended: a row per station and
    /// one for the whole line (station 0), which adds the stations together.
    void ExpectStationCounters(const std::string& output) const {
        const Rows stations = ReadCsv(Path("stations.csv"));
        ASSERT_GE(stations.size(), 4u) << ReadText(Path("stations.csv"));
        EXPECT_EQ(stations[0], StationsHeader());
        std::map<std::string, std::vector<std::string>> last;
        for (size_t i = stations.size() - 3; i < stations.size(); ++i) {
            ASSERT_EQ(stations[i].size(), 3 + kCounterCount);
            last[stations[i][1]] = stations[i];
        }
        ASSERT_EQ(last.size(), 3u) << ReadText(Path("stations.csv"));
        const auto count = [&](const char* station, Counter counter) {
            return std::stoul(last[station][StationsColumn(counter)]);
        };
        EXPECT_GT(count("1", Counter::kOk), 0u);
        EXPECT_GT(count("2", Counter::kOk), 0u);
        EXPECT_EQ(count("0", Counter::kOk), count("1", Counter::kOk) + count("2", Counter::kOk));
        EXPECT_GE(count("1", Counter::kEvents), 2u) << "ev_a and ev_c";
        EXPECT_EQ(count("2", Counter::kEvents), 0u) << "station 2 has no event gates";
        EXPECT_EQ(last["1"][2 + static_cast<size_t>(kFirstAddedCounter)], "communicating");
        EXPECT_NE(output.find("  station 2: OK "), std::string::npos) << output;
        EXPECT_NE(output.find("  line: OK "), std::string::npos) << output;
    }

    /// The user's initialisation file still counts when merixhost adds its lines to it, and
    /// the options' lines replace the file's own.
    void ExpectLogAndTrace() const {
        const std::string log = ReadText(Path("merix.log"));
        EXPECT_NE(log.find("MERIX> IFG is set to 7"), std::string::npos);
        for (const char* line :
             {"MERIX> DEMOTE = 10 s", "MERIX> RETRIES = 3", "MERIX> RETRY_PAUSE = 20 ms"}) {
            EXPECT_NE(log.find(line), std::string::npos) << line;
        }
        EXPECT_EQ(log.find("MERIX> RETRIES = 9"), std::string::npos);
        const std::string trace = ReadText(Path("line.trace"));
        EXPECT_NE(trace.find(" TX 01 03 00 0A 00 01 "), std::string::npos) << trace;
        EXPECT_NE(trace.find("st 1 fn 03 read registers 2 bytes: 1234 | CRC ok"),
                  std::string::npos);
        EXPECT_NE(trace.find(" -- sent, no reply awaited"), std::string::npos)
            << "the $TIME broadcast";
    }

    std::unique_ptr<h51sim::Simulator> sim;
};

TEST_F(ScannedLine, ScansWritesAndCollectsEventsUntilStopped) {
    WriteFile("line.gates", "# the test's line\n"
                            "level    01300010  0\n"
                            "block    01300000  0  3\n"
                            "flag     02100003  6\n"
                            "target   01300020  0   every=1m\n"
                            "gap      IFG       0\n"
                            "bad      01500100  0\n"
                            "ev_a     E010000   6\n"
                            "ev_b     E010001   6\n"
                            "ev_c     E010002   6\n");
    // The driver reads its settings from the directory --ini-dir names; an option puts its
    // own line in place of the file's.
    WriteFile("MERIX01.INI", "IFG = 7\nRETRIES = 9\n");
    ChildProcess host(HostCommand(), Path("output.txt"));
    ASSERT_TRUE(host.Started());
    ASSERT_NO_FATAL_FAILURE(RaiseEventsAndStop(host));

    const std::string output = ReadText(Path("output.txt"));
    EXPECT_NE(output.find("stopped by a signal"), std::string::npos) << output;
    EXPECT_NE(output.find("EndVpi -> 0, port closed"), std::string::npos) << output;
    EXPECT_NE(output.find("refused (1): Run Time Error 3080; Run Time Error 3011"),
              std::string::npos)
        << output;
    ExpectValues();
    ExpectEvents();
    ExpectStationCounters(output);
    ExpectLogAndTrace();
}

TEST_F(MerixhostRun, DemoEndsByItselfHavingReadValuesAndReceivedEvents) {
    ChildProcess host(Command({"--plain", "--duration", "8", "--csv-values", Path("values.csv"),
                               "--csv-events", Path("events.csv")}),
                      Path("output.txt"));
    ASSERT_TRUE(host.Started());
    EXPECT_EQ(host.Wait(kRunTimeout), 0);
    const std::string output = ReadText(Path("output.txt"));
    EXPECT_NE(output.find("duration reached"), std::string::npos) << output;
    EXPECT_NE(output.find("EndVpi -> 0, port closed"), std::string::npos) << output;

    const Rows values = ReadCsv(Path("values.csv"));
    EXPECT_TRUE(HasRow(values, {{1, "boiler_temp"}, {5, "0"}})) << ReadText(Path("values.csv"));
    EXPECT_TRUE(HasRow(values, {{1, "belt_speeds"}, {5, "0"}}));
    // The burner switches within the first seconds, so station 1 reports an event.
    const Rows events = ReadCsv(Path("events.csv"));
    EXPECT_TRUE(HasRow(events, {{3, "burner_on"}, {7, "event"}})) << ReadText(Path("events.csv"));
}

TEST_F(MerixhostRun, BadGateListIsRefusedWithLineNumbers) {
    WriteFile("bad.gates", "good 01300000 0\nbad 01300001\n# fine\nworse 01300002 0 every=x\n");
    ChildProcess host(Command({"--port", "/dev/null", "--gates", Path("bad.gates")}),
                      Path("output.txt"));
    EXPECT_EQ(host.Wait(kRunTimeout), 1);
    const std::string output = ReadText(Path("output.txt"));
    EXPECT_NE(output.find(Path("bad.gates") + ":2: "), std::string::npos) << output;
    EXPECT_NE(output.find(Path("bad.gates") + ":4: "), std::string::npos) << output;
    EXPECT_EQ(output.find(":1: "), std::string::npos) << output;
}

TEST_F(MerixhostRun, PortThatCannotBeOpenedStopsWithAMessage) {
    WriteFile("one.gates", "level 01300000 0\n");
    ChildProcess host(Command({"--port", "/nonexist/x", "--gates", Path("one.gates")}),
                      Path("output.txt"));
    EXPECT_EQ(host.Wait(kRunTimeout), 1);
    const std::string output = ReadText(Path("output.txt"));
    EXPECT_NE(output.find("could not open the port '/nonexist/x'"), std::string::npos) << output;
    EXPECT_NE(output.find("Run Time Error 2010"), std::string::npos) << output;
}

TEST_F(MerixhostRun, ManPageNamesEveryOptionOfTheHelp) {
    ChildProcess host(Command({"--help"}), Path("help.txt"));
    ASSERT_EQ(host.Wait(kRunTimeout), 0);
    const std::string help = ReadText(Path("help.txt"));
    std::string page = ReadText(MERIXHOST_MAN_PAGE);
    ASSERT_FALSE(page.empty()) << MERIXHOST_MAN_PAGE;
    // roff escapes each minus of an option: \-\-csv\-stations
    page = std::regex_replace(page, std::regex(R"(\\-)"), "-");
    const std::regex option("--[a-z0-9-]+");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option);
         it != std::sregex_iterator(); ++it) {
        EXPECT_NE(page.find(it->str()), std::string::npos)
            << "docs/man/merixhost.1 lacks " << it->str();
    }
}

} // namespace
} // namespace merixhost::test
