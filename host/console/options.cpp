#include "host/console/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <fmt/format.h>

#include "host/console/demo.h"
#include "host/console/driver_loader.h"
#include "host/console/port_name.h"
#include "host/console/scan_lists.h"
#include "merix/version.h"
#include "serial/line_settings_text.h"

namespace merixhost {
namespace {

/// A CLI11 validator for durations; the text is converted after parsing.
CLI::Validator DurationCheck() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const auto d = ParseDuration(text);
            return d && *d >= Millis(10) ? std::string{}
                                         : "'" + text +
                                               "' is not a duration of at least 10ms "
                                               "(e.g. 500ms, 2s, 1m)";
        },
        "DURATION");
}

std::optional<WriteRequest> ParseWrite(const std::string& text) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        return std::nullopt;
    }
    WriteRequest write;
    write.gate = text.substr(0, eq);
    const char* first = text.data() + eq + 1;
    const char* last = text.data() + text.size();
    long value = 0;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || first == last || value < -32768 || value > 65535) {
        return std::nullopt;
    }
    write.value = static_cast<int32_t>(value);
    return write;
}

/// What the options give as text, before it is checked and converted.
struct OptionTexts {
    std::string baud = "9600";
    std::string parity = "even";
    std::string stations = "1-31";
    std::string stopBits = "1";
    std::string replyTimeout = "500ms";
    std::string interval = "1s";
    std::string eventInterval = "1s";
    std::string timeSyncEvery;
    std::string refresh = "500ms";
    std::vector<std::string> writes;
};

void AddLineOptions(CLI::App& app, Options& out, OptionTexts& texts, bool demo) {
    app.add_option("-p,--port", out.port,
                   "serial port: " + PortNameHelp() + (demo ? "; none: the demo" : ""))
        ->check([](const std::string& s) { return s.empty() ? "empty port name" : ""; });
    app.add_option("-b,--baud", texts.baud,
                   "baud rate, 50 to 65535; with --scan a comma list, e.g. 9600,19200,38400")
        ->capture_default_str()
        ->check([](const std::string& s) {
            return ParseBaudList(s) ? "" : "'" + s + "' is not a baud rate 50..65535 or a list";
        });
    app.add_option("--data-bits", out.dataBits, "data bits")
        ->capture_default_str()
        ->check(CLI::Range(5, 8));
    app.add_option("--stop-bits", texts.stopBits, "1, 1.5 or 2")
        ->capture_default_str()
        ->check(CLI::IsMember(std::vector<std::string>(std::begin(merix::kStopBitsNames),
                                                       std::end(merix::kStopBitsNames))));
    app.add_option("--parity", texts.parity,
                   "none, odd, even, mark, space (or N, O, E, M, S); with --scan a comma list, "
                   "e.g. even,none")
        ->capture_default_str()
        ->check(
            [](const std::string& s) { return ParseParityList(s) ? "" : "unknown parity " + s; });
    app.add_option("--reply-timeout", texts.replyTimeout,
                   "how long the driver waits for a reply (rounded up to 10ms)")
        ->capture_default_str()
        ->check(DurationCheck());
}

void AddDriverOptions(CLI::App& app, Options& out) {
    app.add_option("--driver", out.driverPath,
                   "driver library (default: " + DefaultDriverHelp() + ")");
    app.add_option("-n,--driver-number", out.driverNumber, "driver instance number")
        ->capture_default_str()
        ->check(CLI::Range(1, 99));
    app.add_option("--ini-dir", out.iniDir,
                   "directory where the driver finds MERIXnn.INT or MERIXnn.INI (default: the "
                   "current directory)")
        ->check(CLI::ExistingDirectory);
    app.add_option("--trace", out.tracePath,
                   "have the driver write a timed, decoded trace of the line to FILE (TRACE in "
                   "its initialisation file); the live table shows its newest lines");
    app.add_option("--capture", out.capturePath,
                   "have the driver write the line to FILE as a pcapng capture for Wireshark "
                   "(CAPTURE in its initialisation file)");
    app.add_option("--journal", out.journalPath,
                   "have the driver keep a line for every write into a controller in FILE "
                   "(JOURNAL in its initialisation file); a journal it cannot write stops "
                   "every write");
    // The driver's own bounds, checked here: it would skip a line beyond them as illegal, and
    // the user would see no more than its log line.
    app.add_option("--demote", out.demoteSeconds,
                   "have the driver set a station that failed for good aside for SECONDS, 0 to "
                   "3600; 0: never (DEMOTE in its initialisation file)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0, 3600));
    app.add_option("--retries", out.retries,
                   "attempts of each of the driver's transactions, 1 to 10 (RETRIES in its "
                   "initialisation file; default 5)")
        ->type_name("N")
        ->check(CLI::Range(1, 10));
    app.add_option("--retry-pause", out.retryPauseMs,
                   "the driver's pause before each retry, 0 to 5000 (RETRY_PAUSE in its "
                   "initialisation file; default 50)")
        ->type_name("MS")
        ->check(CLI::Range(0, 5000));
}

void AddScanOptions(CLI::App& app, Options& out, OptionTexts& texts, bool demo) {
    app.add_option("-g,--gates", out.gatesPath,
                   demo ? "gate list file (default with the demo: its own)" : "gate list file")
        ->check(CLI::ExistingFile);
    app.add_option("-i,--interval", texts.interval, "scan interval of gates without every=")
        ->capture_default_str()
        ->check(DurationCheck());
    app.add_option("--event-interval", texts.eventInterval,
                   "how often each station's events are polled")
        ->capture_default_str()
        ->check(DurationCheck());
    app.add_flag("--sync-time", out.syncTime, "set the controllers' clocks once at the start");
    app.add_option("--time-sync-every", texts.timeSyncEvery,
                   "set the controllers' clocks this often")
        ->check(DurationCheck());
    app.add_option("-w,--write", texts.writes,
                   "write VALUE (-32768 to 65535) to gate NAME at the start; "
                   "repeatable")
        ->type_name("NAME=VALUE")
        ->check([](const std::string& s) {
            return ParseWrite(s) ? "" : "'" + s + "' is not NAME=VALUE with -32768..65535";
        });
    app.add_option("--warm-start", out.warmStarts,
                   "bring STATION out of its error state at the "
                   "start; repeatable")
        ->type_name("STATION")
        ->check(CLI::Range(0, 31));
    app.add_option("-t,--duration", out.duration,
                   demo ? "stop after SECONDS; 0 runs until Ctrl-C (default: 15 for the demo, "
                          "else 0)"
                        : "stop after SECONDS; 0 runs until Ctrl-C (default: 0)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 1e7));
}

void AddStationScanOptions(CLI::App& app, Options& out, OptionTexts& texts) {
    app.add_flag("--scan", out.scan,
                 "find the stations on the line: read one holding register of each station at "
                 "each --baud and --parity given, with one attempt each, and write nothing");
    app.add_option("--stations", texts.stations, "the stations --scan tries, e.g. 1-8 or 1,4,7-9")
        ->capture_default_str()
        ->check([](const std::string& s) {
            return ParseStationList(s) ? "" : "'" + s + "' is not a list of stations 1..31";
        });
    app.add_option("--scan-register", out.scanRegister,
                   "the holding register --scan reads of each station")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    app.add_option("--csv", out.scanCsv,
                   "write the stations --scan found to FILE as CSV (the file is emptied first)");
    app.add_flag("--sniff", out.sniff,
                 "listen to another master on the line and decode what it and the stations "
                 "send; nothing is transmitted and no driver is loaded");
}

void AddOutputOptions(CLI::App& app, Options& out, OptionTexts& texts, bool demo) {
    app.add_option("-l,--log", out.logPath, "write every driver log line to FILE");
    app.add_option("--log-level", out.logLevel,
                   "show driver log lines of this level and above on the screen (8 detail, "
                   "32 errors; 99 none)")
        ->capture_default_str();
    app.add_option("--refresh", texts.refresh, "table refresh period")
        ->capture_default_str()
        ->check(DurationCheck());
    app.add_flag("--plain", out.plain, "plain lines even on a terminal");
    app.add_option("--csv-values", out.csvValues,
                   "write every read and write to FILE as CSV (the file is emptied first)");
    app.add_option("--csv-events", out.csvEvents,
                   "write every event to FILE as CSV (the file is emptied first)");
    app.add_option("--csv-stations", out.csvStations,
                   "write the driver's counters of each station to FILE as CSV each time the "
                   "table is refreshed (the file is emptied first)");
    app.add_option("--report", out.reportPath,
                   "write a self-contained HTML page of the run to FILE at its end (live or "
                   "--sniff)");
    app.add_option("--seed", out.seed,
                   demo ? "seed of the demo plant's random events and faults"
                        : "seed of the demo plant, which this build does not have")
        ->capture_default_str();
}

/// The texts, checked by the parser already, as the values they stand for.
void Convert(const OptionTexts& texts, Options& out) {
    out.bauds = *ParseBaudList(texts.baud);
    out.baud = out.bauds.front();
    out.parityCodes = *ParseParityList(texts.parity);
    out.parityCode = out.parityCodes.front();
    out.scanStations = *ParseStationList(texts.stations);
    out.stopBitsCode = static_cast<int>(std::find(std::begin(merix::kStopBitsNames),
                                                  std::end(merix::kStopBitsNames), texts.stopBits) -
                                        std::begin(merix::kStopBitsNames));
    out.replyTimeout = *ParseDuration(texts.replyTimeout);
    out.interval = *ParseDuration(texts.interval);
    out.eventInterval = *ParseDuration(texts.eventInterval);
    out.refresh = *ParseDuration(texts.refresh);
    if (!texts.timeSyncEvery.empty()) {
        out.timeSyncEvery = ParseDuration(texts.timeSyncEvery);
    }
    for (const auto& w : texts.writes) {
        out.writes.push_back(*ParseWrite(w));
    }
}

/// A listener transmits nothing and runs no driver: whatever would send, or needs the driver,
/// does not go with it.
std::optional<std::string> SniffConflict(const Options& out) {
    if (out.Demo()) {
        return "--sniff needs --port";
    }
    if (out.bauds.size() > 1 || out.parityCodes.size() > 1) {
        return "--sniff listens at one baud rate and parity";
    }
    if (!out.writes.empty() || out.syncTime || out.timeSyncEvery || !out.warmStarts.empty()) {
        return "--sniff transmits nothing: no --write, --sync-time, --time-sync-every or "
               "--warm-start with it";
    }
    if (!out.gatesPath.empty() || !out.journalPath.empty() || !out.scanCsv.empty() ||
        !out.csvValues.empty() || !out.csvEvents.empty() || !out.csvStations.empty()) {
        return "--sniff runs no driver and scans no gates: no --gates, --journal, --csv or "
               "--csv-* with it";
    }
    return std::nullopt;
}

/// A scan reads one register of each station and nothing else, so what would write, or
/// scan a gate list, does not go with it; its own options go with nothing else.
std::optional<std::string> ScanConflict(const Options& out) {
    if (out.scan && out.sniff) {
        return "--scan and --sniff go one at a time";
    }
    if (out.sniff) {
        return SniffConflict(out);
    }
    if (!out.scan) {
        if (out.bauds.size() > 1 || out.parityCodes.size() > 1) {
            return "a list of baud rates or parities is for --scan only";
        }
        return out.scanCsv.empty() ? std::nullopt
                                   : std::optional<std::string>("--csv goes with --scan");
    }
    if (out.Demo()) {
        return "--scan needs --port";
    }
    if (!out.writes.empty() || out.syncTime || out.timeSyncEvery || !out.warmStarts.empty()) {
        return "--scan writes nothing: no --write, --sync-time, --time-sync-every or "
               "--warm-start with it";
    }
    if (!out.gatesPath.empty()) {
        return "--scan reads no gate list: no --gates with it";
    }
    if (!out.reportPath.empty()) {
        return "--report is for a live run or --sniff; --scan has --csv";
    }
    return std::nullopt;
}

/// What single options cannot tell: whether they go together, and with this build.
std::optional<int> CheckTogether(const Options& out, const std::string& noDemo) {
    if (const auto conflict = ScanConflict(out)) {
        fmt::print(stderr, "merixhost: {}\n", *conflict);
        return 2;
    }
    if (out.Demo() && !noDemo.empty()) {
        fmt::print(stderr, "merixhost: {}\n", noDemo);
        return 2;
    }
    if (out.Demo() && (out.parityCode > 2 || out.stopBitsCode == 1)) {
        fmt::print(stderr, "merixhost: the demo line supports parity none, odd or even and 1 or "
                           "2 stop bits\n");
        return 2;
    }
    if (!out.Demo() && out.gatesPath.empty() && !out.scan && !out.sniff) {
        fmt::print(stderr, "merixhost: --gates FILE is needed with --port\n");
        return 2;
    }
    return std::nullopt;
}

} // namespace

std::optional<int> ParseOptions(int argc, char** argv, Options& out) {
    const std::string noDemo = NoDemoReason();
    const bool demo = noDemo.empty();
    CLI::App app{demo ? "merixhost: a console host for the merix driver. Without --port it runs a "
                        "demonstration plant on a simulated line."
                      : "merixhost: a console host for the merix driver.",
                 "merixhost"};
    app.set_version_flag("--version", "merixhost " MERIX_VERSION);
    OptionTexts texts;
    AddLineOptions(app, out, texts, demo);
    AddDriverOptions(app, out);
    AddScanOptions(app, out, texts, demo);
    AddStationScanOptions(app, out, texts);
    AddOutputOptions(app, out, texts, demo);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help is a success; every other problem is the user's, with one exit code.
        return app.exit(e) == 0 ? 0 : 2;
    }
    Convert(texts, out);
    return CheckTogether(out, noDemo);
}

std::string LineText(const Options& options) {
    return fmt::format("{} {}{}{}", options.baud, options.dataBits,
                       merix::ParityLetter(static_cast<uint32_t>(options.parityCode)),
                       merix::StopBitsName(static_cast<uint32_t>(options.stopBitsCode)));
}

} // namespace merixhost
