#include "host/console/scan_run.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "host/console/driver_loader.h"
#include "host/console/driver_settings.h"
#include "host/console/log_router.h"
#include "host/console/scan_lists.h"
#include "host/console/scan_progress.h"
#include "host/console/scan_report.h"
#include "host/console/terminal.h"

namespace merixhost {
namespace {

constexpr char kEchoFound[] = "echoes every request";

int Fail(const std::string& message) {
    fmt::print(stderr, "merixhost: {}\n", message);
    return 1;
}

std::filesystem::path Absolute(const std::string& path) {
    return path.empty() ? std::filesystem::path() : std::filesystem::absolute(path);
}

/// The search itself: the driver, started once per setting, and what each setting found.
class StationScan {
public:
    StationScan(Options& options, LogRouter& log, DriverInstance& driver, bool ansi)
        : options_(options), log_(log), driver_(driver), probe_(driver, options.scanRegister),
          progress_(ansi, options.bauds.size() * options.parityCodes.size() *
                              options.scanStations.size()) {}

    std::vector<SettingOutcome> Run() {
        std::vector<SettingOutcome> outcomes;
        for (int baud : options_.bauds) {
            for (int parity : options_.parityCodes) {
                if (!StopRequested()) {
                    outcomes.push_back(TrySetting(baud, parity));
                }
            }
        }
        // EndVpi ends the library's work for good, so it comes once, after the last setting.
        driver_.End();
        progress_.Finish();
        return outcomes;
    }

private:
    /// A ColdStart of its own: the driver lets the port of the one before go and opens it
    /// afresh at this setting.
    SettingOutcome TrySetting(int baud, int parity) {
        Options at = options_;
        at.baud = baud;
        at.parityCode = parity;
        SettingOutcome outcome;
        outcome.baud = baud;
        outcome.parityCode = parity;
        outcome.line = LineText(at);
        const PortName port(options_.port);
        merix::StartParams sp = StartParamsFor(at, port.Name());
        bool echoes = false;
        log_.SetTap([&echoes](const qorlib::LogLine& line) {
            echoes = echoes || line.text.find(kEchoFound) != std::string::npos;
        });
        driver_.ColdStart(sp);
        outcome.opened = driver_.Context().hf != 0;
        if (outcome.opened) {
            probe_.Prepare(options_.scanStations);
            for (int station : options_.scanStations) {
                if (StopRequested()) {
                    break;
                }
                progress_.Step(outcome.line, station);
                Take(probe_.Probe(station), outcome);
            }
        }
        log_.SetTap(nullptr);
        outcome.echoes = echoes;
        progress_.Note(SettingLines({outcome}).front());
        return outcome;
    }

    static void Take(const ProbeResult& result, SettingOutcome& outcome) {
        ++outcome.tried;
        if (result.Found()) {
            outcome.found.push_back(result);
        } else if (result.garbled) {
            ++outcome.garbled;
        }
    }

    Options& options_;
    LogRouter& log_;
    DriverInstance& driver_;
    StationProbe probe_;
    ScanProgress progress_;
};

/// Settings the scan gives the driver: the command line's, with one attempt per read, so that
/// a setting costs about one reply timeout per station that does not answer.
std::vector<IniSetting> ScanSettings(const Options& options) {
    Options once = options;
    once.retries = 1;
    return OverlaidSettings(once, Absolute(options.tracePath), Absolute(options.capturePath),
                            Absolute(options.journalPath), PortName(options.port));
}

void Report(const Options& options, const std::vector<SettingOutcome>& outcomes) {
    for (const auto& line : FoundTable(outcomes)) {
        fmt::print("{}\n", line);
    }
    for (const auto& line : SettingLines(outcomes)) {
        fmt::print("  {}\n", line);
    }
    fmt::print("{}\n", Recommendation(outcomes));
    if (!options.scanCsv.empty()) {
        fmt::print("stations found: {}\n", options.scanCsv);
    }
}

bool WriteCsv(const std::string& path, const std::vector<SettingOutcome>& outcomes) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    const std::string text = FoundCsv(outcomes);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

int Scan(Options& options, LogRouter& log, DriverInstance& driver) {
    std::string error;
    IniOverlay overlay;
    if (!overlay.Enter(std::filesystem::current_path(), options.driverNumber, ScanSettings(options),
                       &error)) {
        return Fail(error);
    }
    const bool ansi = !options.plain && UseAnsiTerminal();
    log.SetDirect(!ansi);
    log.Install();
    const std::vector<SettingOutcome> outcomes = StationScan(options, log, driver, ansi).Run();
    log.SetDirect(true);
    log.Uninstall();
    overlay.Leave();
    Report(options, outcomes);
    if (!options.scanCsv.empty() && !WriteCsv(options.scanCsv, outcomes)) {
        return Fail("cannot write " + options.scanCsv);
    }
    const bool any = std::any_of(outcomes.begin(), outcomes.end(),
                                 [](const SettingOutcome& o) { return !o.found.empty(); });
    return any ? 0 : 1;
}

} // namespace

int RunStationScan(Options& options) {
    for (std::string* path : {&options.driverPath, &options.logPath, &options.scanCsv,
                              &options.tracePath, &options.capturePath, &options.journalPath}) {
        if (!path->empty()) {
            *path = std::filesystem::absolute(*path).string();
        }
    }
    CatchStopRequests();
    LogRouter log;
    std::string error;
    if (!options.logPath.empty() && !log.OpenFile(options.logPath, &error)) {
        return Fail(error);
    }
    log.SetScreenLevel(options.logLevel);
    const std::string path = options.driverPath.empty() ? DefaultDriverPath() : options.driverPath;
    const auto library = DriverLibrary::Load(path, &error);
    if (!library) {
        return Fail(error);
    }
    DriverInstance driver(library->Entry(), options.driverNumber);
    if (!driver.CheckContextSize(driver.Info(), &error)) {
        return Fail(error);
    }
    if (!options.iniDir.empty()) {
        std::error_code ec;
        std::filesystem::current_path(options.iniDir, ec);
        if (ec) {
            return Fail(fmt::format("cannot change to {}: {}", options.iniDir, ec.message()));
        }
    }
    fmt::print("scan: stations {} on {}, reply timeout {}, one attempt each\n",
               StationListText(options.scanStations), PortName(options.port).Shown(),
               FormatDuration(options.replyTimeout));
    return Scan(options, log, driver);
}

} // namespace merixhost
