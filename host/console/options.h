// merixhost's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/console/duration.h"

namespace merixhost {

struct WriteRequest {
    std::string gate;
    int32_t value = 0;
};

struct Options {
    // Line. No port: the demonstration plant runs in-process on a pseudo-terminal.
    std::string port;
    int baud = 9600;
    int dataBits = 8;
    int stopBitsCode = 0; ///< 0 one, 1 one and a half, 2 two
    int parityCode = 2;   ///< 0 none, 1 odd, 2 even, 3 mark, 4 space
    Millis replyTimeout{500};
    // --baud and --parity as given: one setting, or with --scan each of a list in turn (the
    // first is also `baud` and `parityCode`).
    std::vector<int> bauds{9600};
    std::vector<int> parityCodes{2};

    // Driver.
    std::string driverPath; ///< empty: next to merixhost, installed, else the build's
    uint32_t driverNumber = 1;
    std::string iniDir;      ///< where the driver looks for MERIXnn.INT / .INI; empty: here
    std::string tracePath;   ///< the driver's line trace goes here; empty: no trace
    std::string capturePath; ///< the driver's capture of the line goes here; empty: none
    std::string journalPath; ///< the driver's journal of every write goes here; empty: none
    // DEMOTE, RETRIES and RETRY_PAUSE for the driver; unset: its initialisation file's own.
    std::optional<int> demoteSeconds;
    std::optional<int> retries;
    std::optional<int> retryPauseMs;

    // Scan.
    std::string gatesPath; ///< empty: the demo gate list (demo only)
    Millis interval{1000};
    Millis eventInterval{1000};
    bool syncTime = false;
    std::optional<Millis> timeSyncEvery;
    std::vector<WriteRequest> writes;
    std::vector<int> warmStarts;
    std::optional<double> duration; ///< seconds; unset: 15 for the demo, else until stopped

    // Finding the stations (--scan): one read of a holding register of each station at each
    // line setting, and no scan of a gate list.
    bool scan = false;
    std::vector<int> scanStations; ///< ascending, 1 to 31
    int scanRegister = 0;
    std::string scanCsv; ///< the stations found, as CSV; empty: none

    // Listening to another master (--sniff): the port is opened and nothing is transmitted;
    // no driver is loaded and no gate list is read.
    bool sniff = false;

    // A self-contained HTML page of the run, written at its end; empty: none.
    std::string reportPath;

    // Output.
    std::string logPath;
    int logLevel = 32;
    Millis refresh{500};
    bool plain = false;
    std::string csvValues;
    std::string csvEvents;
    std::string csvStations;

    // Demo.
    uint64_t seed = 1;

    bool Demo() const { return port.empty(); }
};

/// Parses the command line. Returns nullopt to go on, or the exit code when merixhost
/// should stop at once (help shown, or a bad option reported on stderr).
std::optional<int> ParseOptions(int argc, char** argv, Options& out);

/// "9600 8E1" and the like.
std::string LineText(const Options& options);

} // namespace merixhost
