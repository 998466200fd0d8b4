#include "host/console/host_run.h"

#include <cstdio>

#include <fmt/format.h>

#include "host/console/driver_settings.h"
#include "host/console/report_html.h"
#include "host/console/run_loop.h"
#include "host/console/summary.h"
#include "host/console/terminal.h"
#include "host/qorlib_control.h"
#include "merix/version.h"

namespace merixhost {
namespace {

bool Fail(const std::string& message) {
    fmt::print(stderr, "merixhost: {}\n", message);
    return false;
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

std::filesystem::path AbsoluteOrNone(const std::string& path) {
    return path.empty() ? std::filesystem::path() : std::filesystem::absolute(path);
}

std::string DriverDescription(const merix::VpiInfo& info) {
    return info.description ? info.description : "?";
}

} // namespace

int HostRun::Run() {
    if (!LoadGates() || !OpenOutputs() || !StartPlant() || !LoadDriver() || !OpenPort()) {
        return 1;
    }
    PrepareScan();
    Finish(Scan());
    return 0;
}

bool HostRun::LoadGates() {
    Options& o = options_;
    for (std::string* path : {&o.gatesPath, &o.driverPath, &o.logPath, &o.csvValues, &o.csvEvents,
                              &o.csvStations, &o.reportPath}) {
        MakeAbsolute(*path);
    }
    if (o.Demo() && o.gatesPath.empty()) {
        o.gatesPath = DemoGateList();
    }
    if (!LoadGateList(o.gatesPath, list_, &error_)) {
        return Fail(error_);
    }
    for (const auto& e : list_.errors) {
        fmt::print(stderr, "{}:{}: {}\n", o.gatesPath, e.line, e.message);
    }
    if (!list_.errors.empty()) {
        return Fail(fmt::format("{} bad line(s) in the gate list", list_.errors.size()));
    }
    for (const auto& w : o.writes) {
        if (FindGate(list_, w.gate) == nullptr) {
            return Fail(fmt::format("--write {}: no such gate in {}", w.gate, o.gatesPath));
        }
    }
    CatchStopRequests();
    return true;
}

bool HostRun::OpenOutputs() {
    if (!options_.logPath.empty() && !log_.OpenFile(options_.logPath, &error_)) {
        return Fail(error_);
    }
    log_.SetScreenLevel(options_.logLevel);
    if (!csv_.Open(options_.csvValues, options_.csvEvents, options_.csvStations, &error_)) {
        return Fail(error_);
    }
    return true;
}

bool HostRun::StartPlant() {
    std::string device = options_.port;
    if (options_.Demo()) {
        plant_ = StartDemo(options_, &error_);
        if (!plant_) {
            return Fail("demo plant: " + error_);
        }
        device = plant_->DeviceName();
        PlainView::Line(fmt::format("demo: three simulated controllers on {} ({})", device,
                                    LineText(options_)));
    }
    port_.emplace(device);
    return true;
}

bool HostRun::LoadDriver() {
    driverPath_ = options_.driverPath.empty() ? DefaultDriverPath() : options_.driverPath;
    library_ = DriverLibrary::Load(driverPath_, &error_);
    if (!library_) {
        return Fail(error_);
    }
    driver_.emplace(library_->Entry(), options_.driverNumber);
    info_ = driver_->Info();
    if (!driver_->CheckContextSize(info_, &error_)) {
        return Fail(error_);
    }
    PlainView::Line(fmt::format("driver: '{}' from {}, instance {}", DriverDescription(info_),
                                driverPath_, options_.driverNumber));
    return true;
}

bool HostRun::OpenPort() {
    // The trace and capture files are named from where merixhost was started, whatever
    // --ini-dir says.
    tracePath_ = AbsoluteOrNone(options_.tracePath);
    const std::filesystem::path capturePath = AbsoluteOrNone(options_.capturePath);
    const std::filesystem::path journalPath = AbsoluteOrNone(options_.journalPath);
    if (!options_.iniDir.empty()) {
        std::error_code ec;
        std::filesystem::current_path(options_.iniDir, ec);
        if (ec) {
            return Fail(fmt::format("cannot change to {}: {}", options_.iniDir, ec.message()));
        }
    }
    // The driver reads its initialisation file at ColdStart alone: for a trace, a port that
    // the host's name cannot carry, or a setting of the command line, it reads a copy with
    // those lines.
    if (!overlay_.Enter(std::filesystem::current_path(), options_.driverNumber,
                        OverlaidSettings(options_, tracePath_, capturePath, journalPath, *port_),
                        &error_)) {
        return Fail(error_);
    }
    if (!tracePath_.empty()) {
        traceTail_.emplace(tracePath_);
    }
    log_.Install();
    merix::StartParams sp = StartParamsFor(options_, port_->Name());
    driver_->ColdStart(sp);
    overlay_.Leave();
    if (!tracePath_.empty()) {
        PlainView::Line(fmt::format("line trace: {}", tracePath_.string()));
    }
    if (!capturePath.empty()) {
        PlainView::Line(fmt::format("line capture: {}", capturePath.string()));
    }
    if (driver_->Context().hf == 0) {
        driver_->End();
        log_.Uninstall();
        return Fail(fmt::format("the driver could not open the port '{}' (see the log lines "
                                "above; --log FILE keeps them all)",
                                port_->Shown()));
    }
    PlainView::Line(fmt::format("port {} open ({}, reply timeout {})", port_->Shown(),
                                LineText(options_), FormatDuration(options_.replyTimeout)));
    return true;
}

void HostRun::PrepareScan() {
    ansi_ = !options_.plain && UseAnsiTerminal();
    if (!options_.reportPath.empty()) {
        report_.emplace(options_, ReportLine{port_->Shown(), LineText(options_),
                                             fmt::format("driver '{}' from {}, merixhost {}",
                                                         DriverDescription(info_), driverPath_,
                                                         MERIX_VERSION)});
        log_.SetWatch([this](const ScreenLine& line) { report_->OnLog(line); });
    }
    scanner_.emplace(*driver_, log_,
                     ScanSettings{options_.interval, options_.eventInterval, options_.syncTime,
                                  options_.timeSyncEvery});
    scanner_->SetObserver(ScanObserver{[this](const GateState& g, Access op, int result) {
                                           csv_.Value(g, op, result);
                                           if (report_) {
                                               report_->OnAccess(g, op, result,
                                                                 std::chrono::steady_clock::now());
                                           }
                                           if (!ansi_) {
                                               plain_.OnAccess(g, op, result);
                                           }
                                       },
                                       [this](const EventRecord& e) {
                                           csv_.Event(e);
                                           if (report_) {
                                               report_->OnEvent(e);
                                           }
                                           if (!ansi_) {
                                               plain_.OnEvent(e);
                                           }
                                       },
                                       [](const std::string& line) { PlainView::Line(line); }});
    scanner_->Prepare(list_);
    for (int station : options_.warmStarts) {
        scanner_->WarmStart(station);
    }
    for (const auto& w : options_.writes) {
        if (!scanner_->Write(w.gate, w.value, &error_)) {
            PlainView::Line("write " + w.gate + ": " + error_);
        }
    }
}

std::string HostRun::Scan() {
    start_ = std::chrono::steady_clock::now();
    const std::optional<double> duration =
        options_.duration ? options_.duration
                          : (options_.Demo() ? std::optional<double>(15.0) : std::nullopt);
    view_ = ViewInfo{fmt::format("driver '{}'  port {}  {}", DriverDescription(info_),
                                 port_->Shown(), LineText(options_)),
                     start_, duration && *duration > 0 ? duration : std::nullopt,
                     traceTail_ ? &traceTail_->Recent() : nullptr};
    log_.SetDirect(!ansi_);
    if (report_) {
        report_->Start(std::chrono::system_clock::now(), start_);
    }
    scanner_->Start(start_);
    return ScanLoop(
        *scanner_, plant_.get(), options_, [this] { Refresh(); }, start_, duration);
}

void HostRun::Refresh() {
    scanner_->ReadStatistics();
    csv_.Stations(scanner_->Stations(), scanner_->Context());
    if (report_) {
        report_->OnStatistics(scanner_->Stations(), std::chrono::steady_clock::now());
        report_->OnAlerts(qorlib::Alerts(), std::chrono::system_clock::now());
    }
    if (traceTail_) {
        traceTail_->Poll();
    }
    ansi_ ? table_.Draw(*scanner_, log_, view_) : plain_.Refresh(*scanner_);
}

void HostRun::Finish(const std::string& reason) {
    // The last counts, for the summary, while the driver still runs.
    scanner_->ReadStatistics();
    csv_.Stations(scanner_->Stations(), scanner_->Context());
    const SteadyTime end = std::chrono::steady_clock::now();
    RunOutcome outcome;
    outcome.reason = reason;
    outcome.seconds = std::chrono::duration<double>(end - start_).count();
    outcome.endResult = driver_->End();
    outcome.portClosed = driver_->Context().hf == 0;
    if (ansi_) {
        table_.Draw(*scanner_, log_, view_);
        table_.Finish();
    }
    log_.SetDirect(true);
    log_.SetTap(nullptr);
    log_.SetWatch(nullptr);
    log_.Uninstall();
    if (plant_) {
        plant_->Stop();
    }
    csv_.Close();
    for (const auto& [what, path] : {std::pair{"log", options_.logPath},
                                     {"line trace", tracePath_.string()},
                                     {"values", options_.csvValues},
                                     {"events", options_.csvEvents},
                                     {"stations", options_.csvStations}}) {
        if (!path.empty()) {
            outcome.files.push_back(fmt::format("{}: {}", what, path));
        }
    }
    if (const auto report = WriteReport(end)) {
        outcome.files.push_back(*report);
    }
    for (const auto& line : SummaryLines(*scanner_, outcome)) {
        fmt::print("{}\n", line);
    }
}

std::optional<std::string> HostRun::WriteReport(SteadyTime end) {
    if (!report_) {
        return std::nullopt;
    }
    // The alerts of EndVpi belong to the run too.
    report_->OnAlerts(qorlib::Alerts(), std::chrono::system_clock::now());
    std::string error;
    if (!WriteReportHtml(report_->Finish(scanner_->Stations(), end), options_.reportPath, &error)) {
        fmt::print(stderr, "merixhost: {}\n", error);
        return std::nullopt;
    }
    return "report: " + options_.reportPath;
}

} // namespace merixhost
