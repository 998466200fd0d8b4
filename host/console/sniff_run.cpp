#include "host/console/sniff_run.h"

#include <array>
#include <chrono>
#include <optional>

#include <fmt/format.h>

#include "host/console/line_listener.h"
#include "host/console/live_report.h"
#include "host/console/plain_view.h"
#include "host/console/port_name.h"
#include "host/console/report_html.h"
#include "host/console/run_report.h"
#include "host/console/sniff_files.h"
#include "host/console/sniff_model.h"
#include "host/console/sniff_view.h"
#include "host/console/table_view.h"
#include "host/console/terminal.h"

namespace merixhost {

namespace {

/// How long a read waits for the line before the silences are looked at.
constexpr uint32_t kReadWaitMs = 20;
/// Above this rate a frame ends after a fixed 1.75 ms, as Modbus over serial line asks.
constexpr int kFixedSilenceAbove = 19200;
constexpr int64_t kFixedSilenceUs = 1750;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t EpochUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

SteadyTime Steady(int64_t us) {
    return SteadyTime(
        std::chrono::duration_cast<SteadyTime::duration>(std::chrono::microseconds(us)));
}

/// How a report counts what the listener heard; nullopt for what is no failure.
std::optional<FailureKind> FailureOf(HeardOutcome outcome) {
    switch (outcome) {
    case HeardOutcome::kException:
        return FailureKind::kException;
    case HeardOutcome::kSilence:
        return FailureKind::kSilence;
    case HeardOutcome::kCrcBad:
        return FailureKind::kCrc;
    case HeardOutcome::kCutShort:
        return FailureKind::kShort;
    case HeardOutcome::kAnswered:
    case HeardOutcome::kNotAwaited:
    case HeardOutcome::kStray:
        break;
    }
    return std::nullopt;
}

NamedCounters HeardCounters(const HeardStation& s) {
    return {{"requests", s.requests}, {"replies", s.replies}, {"exceptions", s.exceptions},
            {"silences", s.silences}, {"bad CRC", s.crcBad},  {"cut short", s.cutShort}};
}

double CharUs(const Options& o) {
    return CharacterSeconds(o) * 1e6;
}

int64_t SilenceUs(const Options& o) {
    return o.baud > kFixedSilenceAbove ? kFixedSilenceUs
                                       : static_cast<int64_t>(3.5 * CharUs(o) + 0.5);
}

class SniffRun {
public:
    explicit SniffRun(const Options& options)
        : options_(options), cutter_(CharUs(options), SilenceUs(options)),
          model_(
              std::chrono::duration_cast<std::chrono::microseconds>(options.replyTimeout).count()) {
    }

    int Run() {
        CatchStopRequests();
        if (!Open()) {
            return 1;
        }
        Finish(Listen());
        return filesFailed_ ? 1 : 0;
    }

private:
    bool Open();
    bool OpenFiles(const std::string& shown);
    std::string Listen();
    void Take(std::vector<HeardFrame>& frames);
    void Refresh();
    void Finish(const std::string& reason);
    void Heard(const Exchange& exchange);
    void Record(const Exchange& exchange);
    void WriteReport();
    double Seconds() const { return static_cast<double>(NowUs() - clock_.startUs) / 1e6; }

    const Options& options_;
    FrameCutter cutter_;
    SniffModel model_;
    LineListener port_;
    SniffClock clock_;
    SniffTrace trace_;
    SniffCapture capture_;
    std::optional<ReportRecorder> report_;
    std::string title_;
    bool ansi_ = false;
    TerminalTable table_;
    std::array<bool, 32> announced_{};
    merix::plat::LineErrors errors_;
    bool filesFailed_ = false;
};

bool SniffRun::Open() {
    const PortName port(options_.port);
    std::string error;
    const ListenSettings settings{
        static_cast<uint32_t>(options_.baud), static_cast<uint8_t>(options_.dataBits),
        static_cast<uint8_t>(options_.parityCode), static_cast<uint8_t>(options_.stopBitsCode)};
    if (!port_.Open(SystemPortName(options_.port), settings, &error)) {
        fmt::print(stderr, "merixhost: {}\n", error);
        return false;
    }
    clock_ = SniffClock{NowUs(), EpochUs()};
    if (!OpenFiles(port.Shown())) {
        return false;
    }
    model_.SetObserver([this](const Exchange& exchange) { Heard(exchange); });
    if (!options_.reportPath.empty()) {
        report_.emplace();
        report_->Start(std::chrono::system_clock::now(), Steady(clock_.startUs),
                       ReportLine{port.Shown(), LineText(options_),
                                  "merixhost listening: no driver, nothing transmitted"});
    }
    title_ = fmt::format("listening on {}  {}  (nothing is transmitted)", port.Shown(),
                         LineText(options_));
    ansi_ = !options_.plain && UseAnsiTerminal();
    PlainView::Line(fmt::format("listening on {} ({}), transmitting nothing", port.Shown(),
                                LineText(options_)));
    return true;
}

bool SniffRun::OpenFiles(const std::string& shown) {
    std::string error;
    const std::string settings = LineText(options_);
    if (!options_.tracePath.empty() &&
        !trace_.Open(options_.tracePath, shown, settings, clock_, &error)) {
        fmt::print(stderr, "merixhost: {}\n", error);
        return false;
    }
    if (!options_.capturePath.empty() &&
        !capture_.Open(options_.capturePath, shown, settings, clock_, &error)) {
        fmt::print(stderr, "merixhost: {}\n", error);
        return false;
    }
    return true;
}

std::string SniffRun::Listen() {
    const std::optional<double> duration = options_.duration;
    const int64_t end = duration && *duration > 0
                            ? clock_.startUs + static_cast<int64_t>(*duration * 1e6)
                            : INT64_MAX;
    const auto refreshUs =
        std::chrono::duration_cast<std::chrono::microseconds>(options_.refresh).count();
    int64_t nextRefresh = clock_.startUs;
    std::array<uint8_t, 512> buffer{};
    std::vector<HeardFrame> frames;
    while (!StopRequested()) {
        std::string error;
        const int n = port_.Read(buffer, kReadWaitMs, &error);
        const int64_t now = NowUs();
        if (n < 0) {
            return "the port failed: " + error;
        }
        if (n > 0) {
            cutter_.Push(std::span(buffer.data(), static_cast<std::size_t>(n)), now, frames);
        } else {
            cutter_.Idle(now, frames);
        }
        Take(frames);
        if (model_.Idle(now)) {
            cutter_.StopAwaiting();
        }
        if (now >= nextRefresh) {
            Refresh();
            nextRefresh = now + refreshUs;
        }
        if (now >= end) {
            return "duration reached";
        }
    }
    return StopReason();
}

void SniffRun::Take(std::vector<HeardFrame>& frames) {
    for (HeardFrame& frame : frames) {
        model_.Heard(std::move(frame));
    }
    frames.clear();
}

void SniffRun::Record(const Exchange& exchange) {
    const double charSeconds = CharUs(options_) / 1e6;
    const auto wire = [&](const HeardFrame& frame) {
        report_->WireTime(Steady(frame.firstUs),
                          static_cast<double>(frame.bytes.size()) * charSeconds);
    };
    wire(exchange.request);
    if (exchange.reply) {
        wire(*exchange.reply);
    }
    if (exchange.outcome == HeardOutcome::kStray) {
        return;
    }
    const int station = exchange.request.bytes[0];
    const SteadyTime at = Steady(exchange.request.firstUs);
    if (exchange.outcome == HeardOutcome::kAnswered ||
        exchange.outcome == HeardOutcome::kException) {
        report_->Turnaround(station, at, static_cast<double>(exchange.turnaroundUs) / 1000.0);
    }
    if (const std::optional<FailureKind> failure = FailureOf(exchange.outcome)) {
        report_->Failures(station, at, *failure);
    } else if (exchange.outcome == HeardOutcome::kAnswered) {
        report_->Successes(station, at);
    }
}

void SniffRun::WriteReport() {
    const auto& stations = model_.Stations();
    for (std::size_t st = 1; st < stations.size(); ++st) {
        if (stations[st].Seen()) {
            report_->Counters(static_cast<int>(st), HeardCounters(stations[st]));
        }
    }
    std::string error;
    if (!WriteReportHtml(report_->Finish(Steady(NowUs())), options_.reportPath, &error)) {
        fmt::print(stderr, "merixhost: {}\n", error);
        return;
    }
    fmt::print("report: {}\n", options_.reportPath);
}

void SniffRun::Heard(const Exchange& exchange) {
    trace_.Write(exchange);
    capture_.Write(exchange);
    if (report_) {
        Record(exchange);
    }
    const uint8_t station = exchange.request.bytes[0];
    if (!ansi_ && exchange.outcome != HeardOutcome::kStray && station < announced_.size() &&
        !announced_[station]) {
        announced_[station] = true;
        PlainView::Line(station == 0 ? std::string("heard broadcasts")
                                     : fmt::format("heard station {}", station));
    }
}

void SniffRun::Refresh() {
    const merix::plat::LineErrors more = port_.TakeErrors();
    errors_.framing += more.framing;
    errors_.parity += more.parity;
    errors_.overrun += more.overrun;
    if (!trace_.Flush() || !capture_.Flush()) {
        filesFailed_ = true;
        PlainView::Line("merixhost: a trace or capture file could not be written: it ends here");
    }
    if (ansi_) {
        std::vector<TableLine> lines = SniffTable(model_, title_, Seconds());
        lines.push_back({fmt::format("line errors: {} framing, {} parity, {} overrun",
                                     errors_.framing, errors_.parity, errors_.overrun),
                         false, errors_.framing + errors_.parity + errors_.overrun != 0});
        table_.DrawLines(lines);
    }
}

void SniffRun::Finish(const std::string& reason) {
    std::vector<HeardFrame> frames;
    cutter_.Flush(frames);
    Take(frames);
    model_.Finish();
    Refresh();
    if (ansi_) {
        table_.Finish();
    }
    fmt::print("stopped: {} after {:.1f} s\n", reason, Seconds());
    for (const std::string& line : SniffSummary(model_)) {
        fmt::print("{}\n", line);
    }
    fmt::print("line errors: {} framing, {} parity, {} overrun\n", errors_.framing, errors_.parity,
               errors_.overrun);
    for (const auto& [what, path] :
         {std::pair{"line trace", options_.tracePath}, {"line capture", options_.capturePath}}) {
        if (!path.empty()) {
            fmt::print("{}: {}\n", what, path);
        }
    }
    if (report_) {
        WriteReport();
    }
}

} // namespace

int RunSniff(const Options& options) {
    return SniffRun(options).Run();
}

} // namespace merixhost
