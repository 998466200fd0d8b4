#include "host/console/live_report.h"

#include <algorithm>

#include <fmt/format.h>

#include "serial/protocol.h"

namespace merixhost {
namespace {

// A request's bytes around its data: station, function and CRC, a reply's less its byte count.
constexpr uint32_t kRequestOverhead = merix::kReplyOverhead - 1;

/// The clock broadcast's data: its byte count and the fields of the time.
constexpr uint32_t kClockData = 1 + std::tuple_size_v<decltype(merix::RequestFields::time)>;

uint32_t RequestBytes(merix::RequestLayout layout) {
    const int fixed = merix::FixedRequestData(layout);
    return kRequestOverhead + (fixed >= 0
                                   ? static_cast<uint32_t>(fixed)
                                   : (layout == merix::RequestLayout::kClock ? kClockData : 0));
}

uint32_t ReplyBytes(const merix::FunctionRow& row, uint32_t count, uint32_t request) {
    switch (row.reply) {
    case merix::ReplyLayout::kBits:
        return merix::kReplyOverhead + (count + 7) / 8;
    case merix::ReplyLayout::kRegisters:
        return merix::kReplyOverhead + 2 * count;
    case merix::ReplyLayout::kEcho:
        return request;
    case merix::ReplyLayout::kBitmap:
    case merix::ReplyLayout::kEventBlock:
    case merix::ReplyLayout::kNone:
        break;
    }
    return 0;
}

/// Where each failure counter's rises go on the page.
constexpr std::pair<Counter, FailureKind> kFailureCounters[] = {
    {Counter::kSilence, FailureKind::kSilence}, {Counter::kCrc, FailureKind::kCrc},
    {Counter::kWrong, FailureKind::kWrong},     {Counter::kException, FailureKind::kException},
    {Counter::kShort, FailureKind::kShort},     {Counter::kEcho, FailureKind::kEcho}};

/// How far a counter rose; a counter that went back (the driver started again) counts
/// from 0.
uint32_t Rise(std::optional<uint32_t> before, std::optional<uint32_t> now) {
    if (!now) {
        return 0;
    }
    const uint32_t was = before.value_or(0);
    return *now >= was ? *now - was : *now;
}

NamedCounters Named(const StationStats& stats) {
    NamedCounters out;
    for (size_t i = 0; i < kCounterCount; ++i) {
        if (const auto value = stats.counters[i]) {
            const auto counter = static_cast<Counter>(i);
            const std::string_view unit = CounterUnit(counter);
            out.emplace_back(
                fmt::format("{}{}{}", CounterName(counter), unit.empty() ? "" : " ", unit), *value);
        }
    }
    return out;
}

} // namespace

double CharacterSeconds(const Options& options) {
    const double stop = options.stopBitsCode == 2 ? 2 : options.stopBitsCode == 1 ? 1.5 : 1;
    const double bits = 1 + options.dataBits + (options.parityCode != 0 ? 1 : 0) + stop;
    return options.baud > 0 ? bits / options.baud : 0;
}

std::pair<uint32_t, uint32_t> AccessBytes(const GateState& gate, Access op, int result) {
    // "refused" is the driver's own answer, before anything is sent.
    const bool sent = result != 1;
    const bool answered = result == 0;
    switch (gate.kind) {
    case GateKind::Internal:
    case GateKind::EventGate:
        return {0, 0};
    case GateKind::TimeSync:
        return {sent ? RequestBytes(merix::RequestLayout::kClock) : 0, 0};
    case GateKind::EventPoll: {
        // Past the set-up, each poll asks for the next block of records.
        const uint32_t request = RequestBytes(merix::RequestLayout::kEmpty);
        const auto records = static_cast<uint32_t>(std::max(gate.lastPollEvents, 0));
        return {sent ? request : 0,
                answered ? merix::kReplyOverhead + records * merix::kEventRecordSize : 0};
    }
    case GateKind::Single:
    case GateKind::Block:
        break;
    }
    const merix::FunctionRow* row =
        gate.rec.function >= 0 && gate.rec.function <= 0xFF
            ? merix::FindFunction(static_cast<uint8_t>(gate.rec.function))
            : nullptr;
    if (row != nullptr && op == Access::Write) {
        row = merix::FindFunction(row->writtenWith);
    }
    if (row == nullptr || !sent) {
        return {0, 0};
    }
    const uint32_t request = RequestBytes(row->request);
    const auto count = static_cast<uint32_t>(std::max(gate.rec.count, 1));
    return {request, answered ? ReplyBytes(*row, count, request) : 0};
}

void LiveReport::Start(SystemTime wallStart, SteadyTime start) {
    recorder_.Start(wallStart, start, line_);
    recorder_.SetOccupancyEstimated(true);
}

void LiveReport::OnAccess(const GateState& gate, Access op, int result, SteadyTime at) {
    const auto [request, reply] = AccessBytes(gate, op, result);
    recorder_.WireTime(at, (request + reply) * characterSeconds_);
}

void LiveReport::OnEvent(const EventRecord& e) {
    recorder_.Note(e.received, e.IsState() ? "state" : "event",
                   e.IsState()
                       ? fmt::format("{} ({}) of station {} is {:g} at start-up", e.gate, e.address,
                                     e.station, e.value)
                       : fmt::format("{} ({}) of station {} -> {:g}, stamped {}", e.gate, e.address,
                                     e.station, e.value, StampText(e.seconds, e.millis)));
}

void LiveReport::OnLog(const ScreenLine& line) {
    if (line.level >= kNoteLevel) {
        recorder_.Note(line.at, "log", fmt::format("[{}] {}", line.level, line.text));
    }
}

void LiveReport::OnAlerts(const std::vector<qorlib::Alert>& alerts, SystemTime at) {
    for (const auto& a : alerts) {
        if (alertsSeen_.insert(a.id).second) {
            recorder_.Note(at, "alert", fmt::format("#{} {}: {}", a.id, a.alertClass, a.text));
        }
    }
}

void LiveReport::Deltas(int station, const StationStats& now, SteadyTime at) {
    const StationStats& before = last_[static_cast<size_t>(station)];
    for (const auto& [counter, kind] : kFailureCounters) {
        recorder_.Failures(station, at, kind, Rise(before.Get(counter), now.Get(counter)));
    }
    const uint32_t ok = Rise(before.Get(Counter::kOk), now.Get(Counter::kOk));
    recorder_.Successes(station, at, ok);
    recorder_.Events(station, at, Rise(before.Get(Counter::kEvents), now.Get(Counter::kEvents)));
    // TURN holds the last reply's turnaround only: new when a transaction succeeded since.
    if (const auto turn = now.Get(Counter::kTurnaround); turn && ok > 0) {
        recorder_.Turnaround(station, at, *turn / 1000.0);
    }
    // Each retry sent its request again; most requests are a read's.
    const uint32_t retries = Rise(before.Get(Counter::kRetry), now.Get(Counter::kRetry));
    recorder_.WireTime(at, retries * RequestBytes(merix::RequestLayout::kAddressCount) *
                               characterSeconds_);
}

void LiveReport::OnStatistics(const StationTable& stations, SteadyTime at) {
    for (size_t st = 1; st < stations.size(); ++st) {
        if (stations[st].used && stations[st].Counted()) {
            Deltas(static_cast<int>(st), stations[st], at);
            last_[st] = stations[st];
        }
    }
}

RunReport LiveReport::Finish(const StationTable& stations, SteadyTime end) {
    OnStatistics(stations, end);
    for (size_t st = 0; st < stations.size(); ++st) {
        if ((st == 0 || stations[st].used) && stations[st].Counted()) {
            recorder_.Counters(static_cast<int>(st), Named(stations[st]));
        }
    }
    return recorder_.Finish(end);
}

} // namespace merixhost
