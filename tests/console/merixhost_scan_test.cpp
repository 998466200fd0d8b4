// merixhost --scan against a simulated line that answers at its own baud rate only: which
// stations it finds, at which setting, what it reports, and that it writes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "child_process.h"
#include "sim/simulator.h"

namespace merixhost::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kRunTimeout = 180s; // a loaded machine under the sanitizers is slow

class MerixhostScan : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "merixhost-scan.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        h51sim::LineConfig line;
        line.baud = 19200;
        line.parity = h51sim::Parity::Even;
        sim_ = std::make_unique<h51sim::Simulator>(line);
        std::string error;
        for (const int station : {2, 7, 30}) {
            h51sim::StationConfig config;
            config.address = static_cast<uint8_t>(station);
            ASSERT_TRUE(sim_->AddStation(config, &error)) << error;
        }
        ASSERT_TRUE(sim_->SetHoldingRegister(2, 5, 1234));
        ASSERT_TRUE(sim_->SetHoldingRegister(30, 5, 42));
        // Station 7 refuses its register reads: found all the same.
        ASSERT_TRUE(sim_->InjectFaults(7, {h51sim::FaultKind::Exception, 2}, 100));
        ASSERT_TRUE(sim_->Start(&error)) << error;
    }
    void TearDown() override {
        sim_->Stop();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    /// merixhost --scan on the simulated line with `args` added; its exit code.
    std::optional<int> Scan(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {MERIXHOST_EXE, "--scan", "--port", sim_->DeviceName(), "--reply-timeout",
                     "100ms", "--ini-dir", dir_, "--log", Path("merix.log")});
        ChildProcess host(args, Path("output.txt"));
        return host.Wait(kRunTimeout);
    }
    std::string Output() const { return ReadText(Path("output.txt")); }

    std::string dir_;
    std::unique_ptr<h51sim::Simulator> sim_;
};

TEST_F(MerixhostScan, FindsTheStationsAtTheLinesSettingAndWritesNothing) {
    ASSERT_EQ(Scan({"--baud", "9600,19200", "--parity", "even", "--scan-register", "5", "--csv",
                    Path("found.csv")}),
              0)
        << Output();
    const auto rows = ReadCsv(Path("found.csv"));
    const std::vector<std::vector<std::string>> want{
        {"baud", "parity", "station", "answer", "value", "exception", "turn_us", "echo",
         "echo_faults"},
        {"19200", "even", "2", "value", "1234", "", "*", "no", "0"},
        {"19200", "even", "7", "exception", "", "2", "*", "no", "0"},
        {"19200", "even", "30", "value", "42", "", "*", "no", "0"}};
    ASSERT_EQ(rows.size(), want.size()) << ReadText(Path("found.csv"));
    for (size_t r = 0; r < want.size(); ++r) {
        ASSERT_EQ(rows[r].size(), want[r].size()) << r;
        for (size_t c = 0; c < want[r].size(); ++c) {
            if (want[r][c] == "*") {
                EXPECT_GT(std::stol(rows[r][c]), 0) << "row " << r; // a turnaround was measured
            } else {
                EXPECT_EQ(rows[r][c], want[r][c]) << "row " << r << " column " << c;
            }
        }
    }
    const std::string output = Output();
    EXPECT_NE(output.find("9600 8E1: 0 of 31 stations"), std::string::npos) << output;
    EXPECT_NE(output.find("19200 8E1: 3 of 31 stations (2, 7, 30)"), std::string::npos) << output;
    EXPECT_NE(output.find("exception 2"), std::string::npos) << output;
    EXPECT_NE(output.find("put in the host: 19200 baud, parity even (3 stations)"),
              std::string::npos)
        << output;
    // One read of each station at the line's rate, the 9600 baud ones garbled, nothing else.
    std::set<int> stations;
    for (const auto& frame : sim_->ReceivedFrames()) {
        EXPECT_EQ(frame.function, 3) << "station " << int(frame.station);
        stations.insert(frame.station);
    }
    EXPECT_EQ(stations.size(), 31u);
    EXPECT_EQ(sim_->ReceivedFrames().size(), 31u);
    EXPECT_GT(sim_->LineCounters().misratedBytes, 0u);
}

TEST_F(MerixhostScan, NoStationAtTheSettingsTriedIsExitCode1) {
    EXPECT_EQ(Scan({"--baud", "9600", "--parity", "even,none", "--stations", "1-3,7"}), 1)
        << Output();
    const std::string output = Output();
    EXPECT_NE(output.find("9600 8N1: 0 of 4 stations"), std::string::npos) << output;
    EXPECT_NE(output.find("no station answered at any setting tried"), std::string::npos) << output;
    EXPECT_TRUE(sim_->ReceivedFrames().empty());
}

TEST_F(MerixhostScan, TheDriverTriesEachStationOnce) {
    // The user's own file asks for more attempts; the scan's one wins.
    std::ofstream(Path("MERIX01.INI")) << "RETRIES = 7\n";
    EXPECT_EQ(Scan({"--baud", "19200", "--stations", "2,3"}), 0) << Output();
    EXPECT_EQ(sim_->ReceivedFrames().size(), 2u); // station 3 is silent: asked once
}

TEST_F(MerixhostScan, BadOptionsAreExitCode2) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--stations", "0-3"},
                                                 {"--stations", "5-2"},
                                                 {"--baud", "9600,,19200"},
                                                 {"--parity", "even,weird"},
                                                 {"--write", "x=1"},
                                                 {"--sync-time"},
                                                 {"--scan-register", "70000"}}) {
        EXPECT_EQ(Scan(args), 2) << args.front() << ": " << Output();
    }
    // Lists are for --scan only.
    std::ofstream(Path("x.gates")) << "level 01300000 0\n";
    ChildProcess host({MERIXHOST_EXE, "--port", sim_->DeviceName(), "--gates", Path("x.gates"),
                       "--baud", "9600,19200"},
                      Path("output.txt"));
    EXPECT_EQ(host.Wait(kRunTimeout), 2) << Output();
    EXPECT_TRUE(sim_->ReceivedFrames().empty());
}

} // namespace
} // namespace merixhost::test
