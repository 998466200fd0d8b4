// h51sim's command line: what it asks for, and which line settings it gives over the scenario
// file's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/simulator.h"

namespace h51sim {

struct Options {
    std::string scenario;
    std::string device;
    std::string link;
    std::string tap;
    std::string listen;
    int baud = 9600;
    int dataBits = 8;
    std::string parity = "even";
    int stopBits = 1;
    double turnaroundMs = -1.0;
    uint64_t seed = 1;
    bool noPacing = false;
    bool echo = false;
    bool anyBaud = false;
    std::vector<int> stations;
    uint16_t eventGates = 0;
    size_t eventCapacity = 500;
    double eventRate = 0.0;
    std::vector<std::string> faults;
    double duration = 0.0;
    bool quiet = false;

    /// The line options given on the command line, which win over the scenario file.
    struct Given {
        bool baud = false;
        bool dataBits = false;
        bool parity = false;
        bool stopBits = false;
        bool turnaround = false;
        bool seed = false;
        bool noPacing = false;
        bool echo = false;
        bool anyBaud = false;
    } given;
};

/// Parses the command line. Returns nullopt to go on, or the exit code when h51sim should stop
/// at once (help or version shown, or a bad option reported).
std::optional<int> ParseOptions(int argc, char** argv, Options& out);

/// `line` with the line options given on the command line.
void ApplyLineOptions(const Options& options, LineConfig& line);

/// "STATION:KIND:COUNT[:PARAM]", e.g. "5:no_reply:2" or "3:exception:1:4".
bool ParseFaultOption(const std::string& text, int& station, Fault& fault, unsigned& count);

} // namespace h51sim
