// ColdStart of a benchmark's line, with an initialisation file of its own: PORT takes a
// pseudo-terminal's path or a server's address whatever its length, and the rest of the file
// what the section sets.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "merix/vpi.h"

namespace merix::bench {

/// Starts instance 1 in `ctx` at `baud` 8E1 with `ini` as its MERIX01.INI, read in a directory
/// of its own that is gone afterwards. True when the port opened.
inline bool StartLine(DriverContext& ctx, const std::string& ini, int baud, uint32_t replyTimeout) {
    const auto previous = std::filesystem::current_path();
    const auto dir =
        std::filesystem::temp_directory_path() / ("merix_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    std::ofstream("MERIX01.INI") << ini;
    StartParams sp{};
    std::snprintf(sp.portName, sizeof sp.portName, "COM1");
    sp.comOn = 1;
    sp.replyTimeout = replyTimeout;
    sp.baud = static_cast<uint16_t>(baud);
    sp.dataBits = 8;
    sp.parity = 2;
    CallBlock cb{&ctx, kColdStart, 1, 0, &sp};
    VpiMain(&cb);
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(dir);
    return ctx.hf != 0;
}

} // namespace merix::bench
