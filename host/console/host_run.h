// One run of merixhost, in the order a host goes: the gate list, the output files, the demo
// plant, the driver, its port, the scan, and the summary at the end.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "host/console/csv_export.h"
#include "host/console/demo.h"
#include "host/console/driver_instance.h"
#include "host/console/driver_loader.h"
#include "host/console/gate_list.h"
#include "host/console/ini_overlay.h"
#include "host/console/line_trace_file.h"
#include "host/console/live_report.h"
#include "host/console/log_router.h"
#include "host/console/options.h"
#include "host/console/plain_view.h"
#include "host/console/port_name.h"
#include "host/console/scanner.h"
#include "host/console/table_view.h"

namespace merixhost {

class HostRun {
public:
    explicit HostRun(Options& options) : options_(options) {}
    HostRun(const HostRun&) = delete;
    HostRun& operator=(const HostRun&) = delete;

    /// The exit code: 0 after a run, 1 when it could not start (the reason on stderr).
    int Run();

private:
    // Each step that can fail says why on stderr and returns false.
    bool LoadGates();
    bool OpenOutputs();
    bool StartPlant();
    bool LoadDriver();
    bool OpenPort();
    void PrepareScan();
    std::string Scan();
    void Finish(const std::string& reason);
    /// Writes the run report, when one was asked for: its line among the summary's files, or
    /// none (a page that cannot be written is said on stderr).
    std::optional<std::string> WriteReport(SteadyTime end);
    /// Reads the counters and shows them, in the live table or as plain lines.
    void Refresh();

    // In the order they are made: what is made later goes first at the end.
    Options& options_;
    std::string error_;
    GateList list_;
    LogRouter log_;
    CsvExport csv_;
    std::unique_ptr<Demo> plant_;
    std::optional<PortName> port_;
    std::string driverPath_;
    std::unique_ptr<DriverLibrary> library_;
    std::optional<DriverInstance> driver_;
    merix::VpiInfo info_{};
    std::filesystem::path tracePath_;
    IniOverlay overlay_;
    std::optional<TraceTail> traceTail_;
    bool ansi_ = false;
    PlainView plain_;
    std::optional<Scanner> scanner_;
    std::optional<LiveReport> report_;
    SteadyTime start_{};
    ViewInfo view_;
    TerminalTable table_;
};

} // namespace merixhost
