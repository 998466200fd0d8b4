// Random transactions on the fake platform, with the driver's every answer written out: the
// command results, the log lines, the platform calls in order, and the line trace. Two builds
// of the driver that behave the same write the same transcript for the same seed; see
// scripts/differential.sh, which compares a commit against the working tree.
//
// Usage: merix_differential SEED COMMANDS
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "host/qorlib_control.h"
#include "merix/vpi.h"
#include "platform/fake_platform.h"
#include "serial/crc16.h"

namespace {

using merix::CallBlock;
using Frame = std::vector<uint8_t>;
constexpr int32_t kGateTypeDigital = 6;

Frame WithCrc(Frame frame) {
    const uint16_t crc = merix::Crc16(frame.data(), static_cast<int>(frame.size()));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

struct Gate {
    char text[32] = {};
    uint8_t value[512] = {};
    merix::GateAccessRecord rec{};
};

// The instance's settings, one set per seed.
constexpr const char* kIniFiles[] = {
    "TRACE = diff.trace\n",
    "TRACE = diff.trace\nECHO = ON\n",
    "TRACE = diff.trace\nDEMOTE = 2\nRETRIES = 3\nRETRY_PAUSE = 10\n",
    "TRACE = diff.trace\nWRITE = 01\nWRITE = 02600000-02600009\nVERIFY = ON\n",
};

class Run {
public:
    explicit Run(uint64_t seed) : random_(seed), ini_(kIniFiles[seed % std::size(kIniFiles)]) {}

    void Start() {
        merix::fake::Reset();
        qorlib::Reset();
        std::ofstream("MERIX01.INT", std::ios::binary) << ini_;
        if (ini_.find("ECHO") != std::string::npos) {
            merix::fake::EchoRequests(true);
        }
        for (int e = 0; e < 4; ++e) {
            qorlib::DefineGate("E0500" + std::to_string(10 + e), 1);
        }
        merix::StartParams sp{};
        std::snprintf(sp.portName, sizeof sp.portName, "COM1");
        sp.comOn = 1;
        sp.replyTimeout = 20;
        sp.baud = 9600;
        sp.dataBits = 8;
        sp.parity = 2;
        Report("ColdStart", Call(merix::kColdStart, &sp));
    }

    void Command(int n) {
        const int kind = Below(10);
        Gate gate;
        if (kind < 5) {
            Access(gate, Below(4) + 1, merix::kSingleRead, n);
        } else if (kind < 7) {
            Access(gate, Below(2) + 5, merix::kSingleWrite, n);
        } else if (kind == 7) {
            Events(gate);
        } else if (kind == 8) {
            Fill(gate, "$TIME", 0, 3, 0xFFFC);
            QueueReply(Frame{});
            Report("time sync", Call(merix::kSingleWrite, &gate.rec));
        } else {
            merix::StationArg station{static_cast<uint32_t>(Below(6))};
            Report("WarmStart " + std::to_string(station.station),
                   Call(merix::kWarmStart, &station));
        }
        merix::fake::AdvanceClock(static_cast<uint64_t>(Below(800)));
    }

    void Finish() {
        Report("EndVpi", Call(merix::kEndVpi));
        std::ifstream trace("diff.trace", std::ios::binary);
        std::printf("== trace\n%s", std::string(std::istreambuf_iterator<char>(trace), {}).c_str());
    }

private:
    int Below(int n) { return static_cast<int>(random_() % static_cast<uint64_t>(n)); }

    int32_t Call(uint32_t command, void* params = nullptr) {
        CallBlock cb{&ctx_, command, 1, 0, params};
        return VpiMain(&cb);
    }

    static void Fill(Gate& g, const char* text, int station, int function, int address,
                     int count = 1) {
        std::snprintf(g.text, sizeof g.text, "%s", text);
        g.rec.addressString = g.text;
        g.rec.station = station;
        g.rec.function = function;
        g.rec.address = address;
        g.rec.gateType = function <= 2 || function == 5 ? kGateTypeDigital : 0;
        g.rec.count = count;
        g.rec.hostWord = 36;
        g.rec.valuePtr = g.value;
    }

    void Access(Gate& gate, int function, uint32_t command, int n) {
        const int station = Below(5) + 1;
        const int address = Below(12);
        char text[32];
        std::snprintf(text, sizeof text, "%02d%d%05d", station, function, address);
        Fill(gate, text, station, function, address);
        gate.value[2] = static_cast<uint8_t>(n);
        gate.value[3] = static_cast<uint8_t>(n >> 8);
        const uint8_t fn = static_cast<uint8_t>(function);
        const Frame good = function >= 5   ? Frame{0, fn, 0, static_cast<uint8_t>(address), 0, 0}
                           : function >= 3 ? Frame{static_cast<uint8_t>(station), fn, 2, 0x12, 0x34}
                                           : Frame{static_cast<uint8_t>(station), fn, 1, 0x01};
        for (int attempt = 0; attempt < 6; ++attempt) {
            QueueAnswer(station, fn, good, function >= 5 ? gate : Gate{});
        }
        Report(std::string(command == merix::kSingleRead ? "read " : "write ") + text,
               Call(command, &gate.rec));
    }

    void Events(Gate& gate) {
        Fill(gate, "$EVENT", 5, 3, 0xFFFD);
        const Frame bitmap{5, 0x41, 1, static_cast<uint8_t>(Below(16))};
        const Frame block{5, 0x42, 8, 11, 0, 1, 0, 0, 10, 20, 8};
        for (int attempt = 0; attempt < 6; ++attempt) {
            QueueAnswer(5, 0x41, Below(2) == 0 ? bitmap : block, Gate{});
        }
        Report("event read", Call(merix::kSingleRead, &gate.rec));
    }

    /// One of the ways a station answers: as asked, or damaged, late, refused or not at all.
    void QueueAnswer(int station, uint8_t function, const Frame& good, const Gate& write) {
        Frame reply = good;
        if (function == 5 || function == 6) {
            // A write's echo: the request's address and its value.
            reply[0] = static_cast<uint8_t>(station);
            reply[4] = write.value[3];
            reply[5] = write.value[2];
        }
        switch (Below(11)) {
        case 0:
            merix::fake::QueueSilence();
            return;
        case 1:
            QueueReply(Frame{static_cast<uint8_t>(station), static_cast<uint8_t>(function | 0x80),
                             static_cast<uint8_t>(Below(9))});
            return;
        case 2: {
            Frame bad = WithCrc(reply);
            bad[bad.size() - 1] ^= 0x5A;
            merix::fake::QueueReply(bad);
            return;
        }
        case 3:
            reply[0] = static_cast<uint8_t>(station + 1);
            break;
        case 4:
            merix::fake::QueueReply(Frame(reply.begin(), reply.begin() + 3));
            return;
        case 5: // a whole, sound reply that carries no values
            QueueReply(Frame{static_cast<uint8_t>(station), function, 0});
            return;
        case 6: { // a refusal damaged on the line
            Frame bad =
                WithCrc(Frame{static_cast<uint8_t>(station), static_cast<uint8_t>(function | 0x80),
                              static_cast<uint8_t>(Below(9))});
            bad[bad.size() - 1] ^= 0x5A;
            merix::fake::QueueReply(bad);
            return;
        }
        default:
            break;
        }
        QueueReply(reply);
    }

    static void QueueReply(const Frame& frame) {
        if (frame.empty()) {
            merix::fake::QueueSilence();
        } else {
            merix::fake::QueueReply(WithCrc(frame));
        }
    }

    void Report(const std::string& what, int32_t result) {
        std::printf("== %s: %d\n", what.c_str(), result);
        for (const auto& line : qorlib::Log()) {
            std::printf("log %d %s\n", line.level, line.text.c_str());
        }
        qorlib::ClearLog();
        // A spin on the counter makes runs of one call: each run is one line, with its length.
        const auto& calls = merix::fake::Calls();
        for (std::size_t i = 0; i < calls.size();) {
            std::size_t end = i + 1;
            while (end < calls.size() && calls[end] == calls[i]) {
                ++end;
            }
            std::printf("call %s x%zu\n", calls[i].c_str(), end - i);
            i = end;
        }
        merix::fake::ClearCalls();
    }

    std::mt19937_64 random_;
    std::string ini_;
    merix::DriverContext ctx_{};
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: merix_differential SEED COMMANDS\n");
        return 2;
    }
    const uint64_t seed = std::strtoull(argv[1], nullptr, 10);
    const int commands = std::atoi(argv[2]);
    const auto dir =
        std::filesystem::temp_directory_path() / ("merix-diff-" + std::string(argv[1]));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    std::filesystem::remove("diff.trace");
    Run run(seed);
    run.Start();
    for (int n = 0; n < commands; ++n) {
        run.Command(n);
    }
    run.Finish();
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(dir);
    return 0;
}
