// merixhost: a small, honest host for the merix driver. It loads the driver library, has
// the gates of a gate list parsed, scans them and shows values, events, alerts and the
// stations' health. Without --port it brings its own plant on a simulated line (on Linux).
#include <cstdio>
#include <filesystem>
#include <thread>

#include <fmt/format.h>

#include "host/console/csv_export.h"
#include "host/console/demo.h"
#include "host/console/driver_instance.h"
#include "host/console/driver_loader.h"
#include "host/console/ini_overlay.h"
#include "host/console/line_trace_file.h"
#include "host/console/log_router.h"
#include "host/console/options.h"
#include "host/console/plain_view.h"
#include "host/console/port_name.h"
#include "host/console/scanner.h"
#include "host/console/summary.h"
#include "host/console/table_view.h"
#include "host/console/terminal.h"

namespace {

using namespace merixhost;

int Fail(const std::string& message) {
    fmt::print(stderr, "merixhost: {}\n", message);
    return 1;
}

/// Paths become absolute before --ini-dir moves the current directory.
void MakeAbsolute(std::string& path) {
    if (!path.empty()) {
        std::error_code ec;
        const auto absolute = std::filesystem::absolute(path, ec);
        if (!ec) {
            path = absolute.string();
        }
    }
}

merix::StartParams StartParamsFor(const Options& options, const std::string& portName) {
    merix::StartParams sp{};
    std::snprintf(sp.portName, sizeof sp.portName, "%s", portName.c_str());
    sp.comOn = 1;
    // The driver counts the reply timeout in tens of milliseconds.
    sp.replyTimeout = static_cast<uint32_t>((options.replyTimeout.count() + 9) / 10);
    sp.baud = static_cast<uint16_t>(options.baud);
    sp.dataBits = static_cast<int16_t>(options.dataBits);
    sp.stopBits = static_cast<int16_t>(options.stopBitsCode);
    sp.parity = static_cast<int16_t>(options.parityCode);
    return sp;
}

/// Scans until the duration ends or a stop is requested; returns the reason.
std::string ScanLoop(Scanner& scanner, Demo* plant, const Options& options,
                     const std::function<void()>& refresh, SteadyTime start,
                     std::optional<double> duration) {
    const auto end = duration && *duration > 0
                         ? start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                       std::chrono::duration<double>(*duration))
                         : SteadyTime::max();
    SteadyTime nextRefresh = start;
    while (!StopRequested()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end) {
            return "duration reached";
        }
        if (plant != nullptr) {
            plant->Tick(now);
        }
        const bool ran = scanner.RunNext(now);
        now = std::chrono::steady_clock::now();
        if (now >= nextRefresh) {
            refresh();
            nextRefresh = now + options.refresh;
        }
        if (!ran) {
            // Short naps keep Ctrl-C and the plant's motion responsive.
            const auto wake = std::min({scanner.NextDue(), nextRefresh, end, now + Millis(50)});
            std::this_thread::sleep_until(wake);
        }
    }
    return StopReason();
}

/// What merixhost tells the driver through its initialisation file: the trace, the capture,
/// and a port that the host's 11 characters cannot name.
std::vector<IniSetting> OverlaidSettings(const std::filesystem::path& tracePath,
                                         const std::filesystem::path& capturePath,
                                         const PortName& port) {
    std::vector<IniSetting> settings;
    if (!tracePath.empty()) {
        settings.emplace_back("TRACE", tracePath.string());
    }
    if (!capturePath.empty()) {
        settings.emplace_back("CAPTURE", capturePath.string());
    }
    if (!port.PortLine().empty()) {
        settings.emplace_back("PORT", port.PortLine());
    }
    return settings;
}

int Run(Options& options) {
    for (std::string* path : {&options.gatesPath, &options.driverPath, &options.logPath,
                              &options.csvValues, &options.csvEvents, &options.csvStations}) {
        MakeAbsolute(*path);
    }
    if (options.Demo() && options.gatesPath.empty()) {
        options.gatesPath = DemoGateList();
    }
    GateList list;
    std::string error;
    if (!LoadGateList(options.gatesPath, list, &error)) {
        return Fail(error);
    }
    for (const auto& e : list.errors) {
        fmt::print(stderr, "{}:{}: {}\n", options.gatesPath, e.line, e.message);
    }
    if (!list.errors.empty()) {
        return Fail(fmt::format("{} bad line(s) in the gate list", list.errors.size()));
    }
    for (const auto& w : options.writes) {
        if (FindGate(list, w.gate) == nullptr) {
            return Fail(fmt::format("--write {}: no such gate in {}", w.gate, options.gatesPath));
        }
    }
    CatchStopRequests();

    LogRouter log;
    if (!options.logPath.empty() && !log.OpenFile(options.logPath, &error)) {
        return Fail(error);
    }
    log.SetScreenLevel(options.logLevel);
    CsvExport csv;
    if (!csv.Open(options.csvValues, options.csvEvents, options.csvStations, &error)) {
        return Fail(error);
    }

    std::unique_ptr<Demo> plant;
    std::string device = options.port;
    if (options.Demo()) {
        plant = StartDemo(options, &error);
        if (!plant) {
            return Fail("demo plant: " + error);
        }
        device = plant->DeviceName();
        PlainView::Line(
            fmt::format("demo: three simulated controllers on {} ({})", device, LineText(options)));
    }
    const PortName port(device);
    const std::string driverPath =
        options.driverPath.empty() ? DefaultDriverPath() : options.driverPath;
    auto library = DriverLibrary::Load(driverPath, &error);
    if (!library) {
        return Fail(error);
    }
    DriverInstance driver(library->Entry(), options.driverNumber);
    const merix::VpiInfo info = driver.Info();
    if (!driver.CheckContextSize(info, &error)) {
        return Fail(error);
    }
    PlainView::Line(fmt::format("driver: '{}' from {}, instance {}",
                                info.description ? info.description : "?", driverPath,
                                options.driverNumber));
    // The trace file is named from where merixhost was started, whatever --ini-dir says.
    const std::filesystem::path tracePath = options.tracePath.empty()
                                                ? std::filesystem::path()
                                                : std::filesystem::absolute(options.tracePath);
    const std::filesystem::path capturePath = options.capturePath.empty()
                                                  ? std::filesystem::path()
                                                  : std::filesystem::absolute(options.capturePath);
    if (!options.iniDir.empty()) {
        std::error_code ec;
        std::filesystem::current_path(options.iniDir, ec);
        if (ec) {
            return Fail(fmt::format("cannot change to {}: {}", options.iniDir, ec.message()));
        }
    }
    // The driver reads its initialisation file at ColdStart alone: for a trace, or a port that
    // the host's name cannot carry, it reads a copy with those lines.
    IniOverlay overlay;
    if (!overlay.Enter(std::filesystem::current_path(), options.driverNumber,
                       OverlaidSettings(tracePath, capturePath, port), &error)) {
        return Fail(error);
    }
    std::optional<TraceTail> traceTail;
    if (!tracePath.empty()) {
        traceTail.emplace(tracePath);
    }

    log.Install();
    merix::StartParams sp = StartParamsFor(options, port.Name());
    driver.ColdStart(sp);
    overlay.Leave();
    if (!tracePath.empty()) {
        PlainView::Line(fmt::format("line trace: {}", tracePath.string()));
    }
    if (!capturePath.empty()) {
        PlainView::Line(fmt::format("line capture: {}", capturePath.string()));
    }
    if (driver.Context().hf == 0) {
        driver.End();
        log.Uninstall();
        return Fail(fmt::format("the driver could not open the port '{}' (see the log lines "
                                "above; --log FILE keeps them all)",
                                port.Shown()));
    }
    PlainView::Line(fmt::format("port {} open ({}, reply timeout {})", port.Shown(),
                                LineText(options), FormatDuration(options.replyTimeout)));

    const bool ansi = !options.plain && UseAnsiTerminal();
    PlainView plain;
    Scanner scanner(driver, log,
                    ScanSettings{options.interval, options.eventInterval, options.syncTime,
                                 options.timeSyncEvery});
    scanner.SetObserver(ScanObserver{[&](const GateState& g, Access op, int result) {
                                         csv.Value(g, op, result);
                                         if (!ansi) {
                                             plain.OnAccess(g, op, result);
                                         }
                                     },
                                     [&](const EventRecord& e) {
                                         csv.Event(e);
                                         if (!ansi) {
                                             plain.OnEvent(e);
                                         }
                                     },
                                     [](const std::string& line) { PlainView::Line(line); }});
    scanner.Prepare(list);
    for (int station : options.warmStarts) {
        scanner.WarmStart(station);
    }
    for (const auto& w : options.writes) {
        if (!scanner.Write(w.gate, w.value, &error)) {
            PlainView::Line("write " + w.gate + ": " + error);
        }
    }

    const auto start = std::chrono::steady_clock::now();
    const std::optional<double> duration =
        options.duration ? options.duration
                         : (options.Demo() ? std::optional<double>(15.0) : std::nullopt);
    ViewInfo view{fmt::format("driver '{}'  port {}  {}", info.description ? info.description : "?",
                              port.Shown(), LineText(options)),
                  start, duration && *duration > 0 ? duration : std::nullopt,
                  traceTail ? &traceTail->Recent() : nullptr};
    TerminalTable table;
    log.SetDirect(!ansi);
    scanner.Start(start);
    const std::string reason = ScanLoop(
        scanner, plant.get(), options,
        [&] {
            scanner.ReadStatistics();
            csv.Stations(scanner.Stations(), scanner.Context());
            if (traceTail) {
                traceTail->Poll();
            }
            ansi ? table.Draw(scanner, log, view) : plain.Refresh(scanner);
        },
        start, duration);

    // The last counts, for the summary, while the driver still runs.
    scanner.ReadStatistics();
    csv.Stations(scanner.Stations(), scanner.Context());
    RunOutcome outcome;
    outcome.reason = reason;
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.endResult = driver.End();
    outcome.portClosed = driver.Context().hf == 0;
    if (ansi) {
        table.Draw(scanner, log, view);
        table.Finish();
    }
    log.SetDirect(true);
    log.SetTap(nullptr);
    log.Uninstall();
    if (plant) {
        plant->Stop();
    }
    csv.Close();
    for (const auto& [what, path] : {std::pair{"log", options.logPath},
                                     {"line trace", tracePath.string()},
                                     {"values", options.csvValues},
                                     {"events", options.csvEvents},
                                     {"stations", options.csvStations}}) {
        if (!path.empty()) {
            outcome.files.push_back(fmt::format("{}: {}", what, path));
        }
    }
    for (const auto& line : SummaryLines(scanner, outcome)) {
        fmt::print("{}\n", line);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto code = ParseOptions(argc, argv, options)) {
        return *code;
    }
    return Run(options);
}
