#include "sim/options.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <sstream>

#include "merix/version.h"

namespace h51sim {
namespace {

std::optional<Parity> ParityFrom(const std::string& text) {
    if (text == "none" || text == "N" || text == "n") {
        return Parity::None;
    }
    if (text == "even" || text == "E" || text == "e") {
        return Parity::Even;
    }
    if (text == "odd" || text == "O" || text == "o") {
        return Parity::Odd;
    }
    return std::nullopt;
}

void AddPortOptions(CLI::App& app, Options& o) {
    app.add_option("-s,--scenario", o.scenario,
                   "JSON scenario file (line, stations, values, "
                   "events, faults)")
        ->check(CLI::ExistingFile);
    auto* device = app.add_option("-d,--device", o.device,
                                  "Serial device to serve instead of creating a pseudo-terminal");
    app.add_option("-l,--link", o.link,
                   "Symlink to create to the pseudo-terminal, e.g. "
                   "/tmp/h51sim0");
    app.add_option("--tap", o.tap,
                   "Symlink to create to a second pseudo-terminal that hears the whole line, "
                   "requests and replies, as a listener on the bus does; what it transmits is "
                   "dropped and counted")
        ->excludes(device);
    // A real device has its master at the far end of the wire, not here to be bridged.
    app.add_option("--listen", o.listen,
                   "Also serve the line on a TCP port as raw RTU bytes: tcp://HOST:PORT (port 0: "
                   "a free one)")
        ->excludes(device);
}

/// The line's options, which tell after parsing whether they were given.
struct LineOptions {
    CLI::Option* baud;
    CLI::Option* dataBits;
    CLI::Option* parity;
    CLI::Option* stopBits;
    CLI::Option* turnaround;
    CLI::Option* seed;
    CLI::Option* noPacing;
    CLI::Option* echo;
    CLI::Option* anyBaud;

    Options::Given Given() const {
        return {baud->count() > 0,     dataBits->count() > 0,   parity->count() > 0,
                stopBits->count() > 0, turnaround->count() > 0, seed->count() > 0,
                noPacing->count() > 0, echo->count() > 0,       anyBaud->count() > 0};
    }
};

LineOptions AddLineOptions(CLI::App& app, Options& o) {
    auto* baud = app.add_option("-b,--baud", o.baud, "Baud rate")->capture_default_str();
    auto* dataBits = app.add_option("--data-bits", o.dataBits, "Data bits")
                         ->check(CLI::Range(5, 8))
                         ->capture_default_str();
    auto* parity = app.add_option("-P,--parity", o.parity, "Parity: none, even or odd")
                       ->check(CLI::IsMember({"none", "even", "odd", "N", "E", "O", "n", "e", "o"}))
                       ->capture_default_str();
    auto* stopBits = app.add_option("--stop-bits", o.stopBits, "Stop bits")
                         ->check(CLI::Range(1, 2))
                         ->capture_default_str();
    auto* turnaround =
        app.add_option("--turnaround-ms", o.turnaroundMs,
                       "Pause between a request's end and the reply (default 3.5 characters)")
            ->check(CLI::Range(0.0, 59999.0));
    auto* seed =
        app.add_option("--seed", o.seed, "Seed of random events and faults")->capture_default_str();
    auto* noPacing = app.add_flag("--no-pacing", o.noPacing,
                                  "Send replies at once instead of at the line's pace");
    auto* echo = app.add_flag("--echo", o.echo,
                              "Send every request back as it arrives, as a transceiver that hears "
                              "itself");
    auto* anyBaud = app.add_flag("--any-baud", o.anyBaud,
                                 "Answer requests at any baud rate the master sets on the "
                                 "pseudo-terminal (default: only at --baud, as a real line)");
    return {baud, dataBits, parity, stopBits, turnaround, seed, noPacing, echo, anyBaud};
}

void AddStationOptions(CLI::App& app, Options& o) {
    app.add_option("--station", o.stations,
                   "Add a station with this address (1 to 31); "
                   "repeatable")
        ->check(CLI::Range(1, 31));
    app.add_option("--event-gates", o.eventGates, "Event gates of the --station stations")
        ->check(CLI::Range(0, 2048))
        ->capture_default_str();
    app.add_option("--event-capacity", o.eventCapacity,
                   "Event buffer size of the --station stations")
        ->capture_default_str();
    app.add_option("--event-rate", o.eventRate,
                   "Random event changes per second of each --station station")
        ->check(CLI::Range(0.0, 1e6))
        ->capture_default_str();
    app.add_option("--fault", o.faults,
                   "Scripted fault STATION:KIND:COUNT[:PARAM], e.g. 5:no_reply:2; kinds: " +
                       h51sim::FaultKindList());
}

void AddRunOptions(CLI::App& app, Options& o) {
    app.add_option("-t,--duration", o.duration,
                   "Stop after this many seconds (default: run "
                   "until SIGINT or SIGTERM)")
        ->check(CLI::Range(0.0, 1e9));
    app.add_flag("-q,--quiet", o.quiet, "No trace");
}

} // namespace

std::optional<int> ParseOptions(int argc, char** argv, Options& out) {
    CLI::App app{"h51sim: simulated H51-family controllers on a serial line (expanded Modbus "
                 "RTU)"};
    app.set_version_flag("--version", "h51sim " MERIX_VERSION);
    AddPortOptions(app, out);
    const LineOptions line = AddLineOptions(app, out);
    AddStationOptions(app, out);
    AddRunOptions(app, out);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    out.given = line.Given();
    return std::nullopt;
}

void ApplyLineOptions(const Options& o, LineConfig& line) {
    if (o.given.baud) {
        line.baud = o.baud;
    }
    if (o.given.dataBits) {
        line.dataBits = o.dataBits;
    }
    if (o.given.parity) {
        line.parity = *ParityFrom(o.parity);
    }
    if (o.given.stopBits) {
        line.stopBits = o.stopBits;
    }
    if (o.given.turnaround) {
        line.turnaroundMs = o.turnaroundMs;
    }
    if (o.given.seed) {
        line.seed = o.seed;
    }
    if (o.given.noPacing) {
        line.pacing = false;
    }
    if (o.given.echo) {
        line.echo = true;
    }
    if (o.given.anyBaud) {
        line.anyBaud = true;
    }
}

bool ParseFaultOption(const std::string& text, int& station, Fault& fault, unsigned& count) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ':');) {
        parts.push_back(part);
    }
    if (parts.size() < 3 || parts.size() > 4) {
        return false;
    }
    const auto kind = ParseFaultKind(parts[1]);
    char* end = nullptr;
    station = static_cast<int>(std::strtol(parts[0].c_str(), &end, 10));
    if (!kind || *end != '\0') {
        return false;
    }
    fault.kind = *kind;
    const long n = std::strtol(parts[2].c_str(), &end, 10);
    if (*end != '\0' || n < 1 || n > 1000000000) {
        return false;
    }
    count = static_cast<unsigned>(n);
    if (parts.size() == 4) {
        const long p = std::strtol(parts[3].c_str(), &end, 10);
        if (*end != '\0' || p < 0 || p > 60000) {
            return false;
        }
        fault.param = static_cast<int>(p);
    }
    return true;
}

} // namespace h51sim
