// merixhost --sniff: how what a listener hears is cut into frames and paired, and a run on a
// simulated line that mbpoll drives as the master, heard through the simulator's tap.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "child_process.h"
#include "host/console/frame_cutter.h"
#include "host/console/sniff_model.h"
#include "serial/crc16.h"
#include "sim/simulator.h"

namespace merixhost::test {
namespace {

using namespace std::chrono_literals;

/// `bytes` with their CRC, low byte first.
std::vector<uint8_t> Framed(std::vector<uint8_t> bytes) {
    const uint16_t crc = merix::Crc16(bytes.data(), static_cast<int>(bytes.size()));
    bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return bytes;
}

// 19200 baud, 11 bits a character: 573 us each, 2005 us of silence ends a frame.
constexpr double kCharUs = 573.0;
constexpr int64_t kSilenceUs = 2005;

/// A chunk as a read brings it, `atUs` after the start.
struct Chunk {
    std::vector<uint8_t> bytes;
    int64_t atUs;
    bool silentBefore = true; ///< a read found the line silent before it
};

struct SniffCase {
    const char* what;
    std::vector<Chunk> chunks;
    std::vector<HeardOutcome> outcomes; ///< of the exchanges, in order
};

const std::vector<uint8_t> kRead = Framed({0x02, 0x03, 0x00, 0x64, 0x00, 0x02});
const std::vector<uint8_t> kReadReply = Framed({0x02, 0x03, 0x04, 0x00, 0x01, 0x00, 0x02});

std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint8_t> Damaged(std::vector<uint8_t> frame) {
    frame[3] ^= 0x10;
    return frame;
}

std::vector<uint8_t> Head(const std::vector<uint8_t>& frame, std::size_t n) {
    return {frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(n)};
}

class SniffCuts : public ::testing::TestWithParam<SniffCase> {};

TEST_P(SniffCuts, PairsEachRequestWithWhatFollowedIt) {
    FrameCutter cutter(kCharUs, kSilenceUs);
    SniffModel model(100'000);
    std::vector<HeardOutcome> outcomes;
    model.SetObserver([&](const Exchange& e) { outcomes.push_back(e.outcome); });
    std::vector<HeardFrame> frames;
    for (const Chunk& chunk : GetParam().chunks) {
        if (chunk.silentBefore) {
            cutter.Idle(chunk.atUs - static_cast<int64_t>(kCharUs) * 2, frames);
        }
        cutter.Push(chunk.bytes, chunk.atUs, frames);
        for (HeardFrame& f : frames) {
            model.Heard(std::move(f));
        }
        frames.clear();
    }
    cutter.Flush(frames);
    for (HeardFrame& f : frames) {
        model.Heard(std::move(f));
    }
    model.Finish();
    EXPECT_EQ(outcomes, GetParam().outcomes);
}

using O = HeardOutcome;
INSTANTIATE_TEST_SUITE_P(
    Line, SniffCuts,
    ::testing::Values(
        // A pseudo-terminal hands request and reply over at once: their lengths cut them.
        SniffCase{"in one chunk", {{Join(kRead, kReadReply), 10'000}}, {O::kAnswered}},
        SniffCase{"apart", {{kRead, 10'000}, {kReadReply, 30'000}}, {O::kAnswered}},
        // A read that came late: the reply's tail seems to follow a silence, yet completes it.
        SniffCase{"read late",
                  {{kRead, 10'000},
                   {Head(kReadReply, 3), 30'000},
                   {{kReadReply.begin() + 3, kReadReply.end()}, 45'000, false}},
                  {O::kAnswered}},
        SniffCase{
            "exception", {{kRead, 10'000}, {Framed({0x02, 0x83, 0x02}), 30'000}}, {O::kException}},
        SniffCase{"write echoed",
                  {{Framed({0x07, 0x06, 0x00, 0x05, 0x00, 0x4D}), 10'000},
                   {Framed({0x07, 0x06, 0x00, 0x05, 0x00, 0x4D}), 30'000}},
                  {O::kAnswered}},
        SniffCase{"asked again", {{kRead, 10'000}, {kRead, 200'000}}, {O::kSilence, O::kSilence}},
        SniffCase{"bad CRC", {{kRead, 10'000}, {Damaged(kReadReply), 30'000}}, {O::kCrcBad}},
        SniffCase{"cut short", {{kRead, 10'000}, {Head(kReadReply, 5), 30'000}}, {O::kCutShort}},
        SniffCase{"clock broadcast",
                  {{Framed({0x00, 0x46, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}), 10'000}},
                  {O::kNotAwaited}},
        SniffCase{"noise", {{{0x55, 0xAA, 0x13}, 10'000}}, {O::kStray}},
        SniffCase{"reply of nobody's request", {{kReadReply, 10'000}}, {O::kStray}},
        SniffCase{"another station answers",
                  {{kRead, 10'000}, {Framed({0x05, 0x03, 0x02, 0x00, 0x01}), 30'000}},
                  {O::kSilence, O::kStray}}),
    [](const auto& info) {
        std::string name = info.param.what;
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

TEST(SniffModel, TellsTheAddressesAndThePeriodOfEachStation) {
    SniffModel model(100'000);
    FrameCutter cutter(kCharUs, kSilenceUs);
    std::vector<HeardFrame> frames;
    for (int round = 0; round < 3; ++round) {
        const int64_t t = round * 500'000;
        // A write of a new value each round is the same request of the master's round.
        const std::vector<uint8_t> write =
            Framed({0x02, 0x06, 0x00, 0x05, 0x00, static_cast<uint8_t>(round)});
        cutter.Push(Join(kRead, kReadReply), t + 10'000, frames);
        cutter.Push(Framed({0x02, 0x01, 0x00, 0x10, 0x00, 0x08}), t + 50'000, frames);
        cutter.Push(Join(write, write), t + 100'000, frames);
        cutter.Idle(t + 400'000, frames);
        for (HeardFrame& f : frames) {
            model.Heard(std::move(f));
        }
        frames.clear();
    }
    const HeardStation& s = model.Stations()[2];
    EXPECT_EQ(s.requests, 9u);
    EXPECT_EQ(s.replies, 6u);
    EXPECT_EQ(s.silences, 3u) << "the coil reads";
    EXPECT_EQ(FunctionsText(s),
              "01 read coils 16-23, 03 read registers 100-101, 06 write register 5");
    ASSERT_EQ(s.periodCount, 6u);
    EXPECT_EQ(s.periodSumUs / 6, 500'000);
}

bool Installed(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

class MerixhostSniff : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Installed("mbpoll")) {
            GTEST_SKIP() << "mbpoll is not installed (scripts/deps.sh installs it)";
        }
        std::string pattern =
            (std::filesystem::temp_directory_path() / "merixhost-sniff.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        h51sim::LineConfig line;
        line.baud = 19200;
        line.parity = h51sim::Parity::Even;
        sim_ = std::make_unique<h51sim::Simulator>(line);
        std::string error;
        for (const int station : {2, 7}) {
            h51sim::StationConfig config;
            config.address = static_cast<uint8_t>(station);
            ASSERT_TRUE(sim_->AddStation(config, &error)) << error;
        }
        tap_ = sim_->OpenTap(&error);
        ASSERT_FALSE(tap_.empty()) << error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
    }
    void TearDown() override {
        if (sim_) {
            sim_->Stop();
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    /// Waits until the listener says it listens, as a user would before starting the master.
    void AwaitListening() const {
        for (int i = 0;
             i < 300 && ReadText(Path("output.txt")).find("listening") == std::string::npos; ++i) {
            std::this_thread::sleep_for(100ms);
        }
    }
    /// mbpoll as the line's master: one request, a reply awaited 300 ms; `values` to write.
    void Mbpoll(const std::string& args, const std::string& values = "") const {
        const std::string command = "mbpoll -m rtu -b 19200 -P even -o 0.3 -1 -q " + args + " " +
                                    sim_->DeviceName() + " " + values + " >/dev/null 2>&1";
        std::system(command.c_str());
    }
    /// The capture as tshark reads it with the dissector: direction and Info, one per packet.
    std::string Tshark() const {
        const std::string command = "WIRESHARK_CONFIG_DIR=" + dir_ + " tshark -r " +
                                    Path("heard.pcapng") +
                                    " -X lua_script:" MERIX_SOURCE_DIR
                                    "/wireshark/merix.lua -o mbrtu.tcp.port:0 -T fields -e "
                                    "merix.direction -e _ws.col.Info > " +
                                    Path("tshark.txt") + " 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return ReadText(Path("tshark.txt"));
    }

    std::string dir_;
    std::unique_ptr<h51sim::Simulator> sim_;
    std::string tap_;
};

// mbpoll, as the line's other master, reads station 2, writes a register of station 7 and asks
// station 9, which is not on the line; merixhost hears it all on the simulator's tap.
TEST_F(MerixhostSniff, HearsAnotherMasterAndTransmitsNothing) {
    ChildProcess host({MERIXHOST_EXE, "--sniff", "--port", tap_, "--baud", "19200", "--parity",
                       "even", "--reply-timeout", "300ms", "--duration", "60", "--plain", "--trace",
                       Path("heard.trace"), "--capture", Path("heard.pcapng"), "--report",
                       Path("heard.html")},
                      Path("output.txt"));
    AwaitListening();
    for (int i = 0; i < 3; ++i) {
        Mbpoll("-a 2 -t 4 -r 1 -c 4");
    }
    Mbpoll("-a 7 -t 4 -r 6", "77");
    Mbpoll("-a 9 -t 4 -r 1");
    std::this_thread::sleep_for(500ms);
    host.Signal(SIGINT);
    ASSERT_EQ(host.Wait(120s), 0) << ReadText(Path("output.txt"));
    const std::string out = ReadText(Path("output.txt"));
    for (const char* heard : {"station 2: 3 requests, 3 replies", "03 read registers 0-3",
                              "station 7: 1 requests, 1 replies", "06 write register 5",
                              "station 9: 1 requests, 0 replies, 0 exceptions, 1 silences"}) {
        EXPECT_NE(out.find(heard), std::string::npos) << heard << " in\n" << out;
    }
    EXPECT_EQ(sim_->LineCounters().tapTransmitted, 0u) << "the listener transmitted";
    EXPECT_NE(ReadText(Path("heard.trace")).find("st 7 fn 06 write register"), std::string::npos);
    const std::string page = ReadText(Path("heard.html"));
    for (const char* section : {"id=\"station-2\"", "id=\"station-7\"", "id=\"station-9\""}) {
        EXPECT_NE(page.find(section), std::string::npos) << section;
    }
    if (Installed("tshark")) {
        const std::string info = Tshark();
        // The dissector took the direction from the capture, request and reply alike.
        for (const char* packet : {"1\t   Query: Unit:   7, Func:   6: Write Single Register",
                                   "2\tResponse: Unit:   7, Func:   6: Write Single Register",
                                   "1\t   Query: Unit:   9"}) {
            EXPECT_NE(info.find(packet), std::string::npos) << packet << " in\n" << info;
        }
    }
}

} // namespace
} // namespace merixhost::test
