#include "host/console/scan_model.h"

#include <fmt/format.h>

namespace merixhost {

int GateState::Station() const {
    switch (kind) {
    case GateKind::Single:
    case GateKind::Block:
    case GateKind::EventGate:
    case GateKind::EventPoll:
        // Ordinary addresses admit stations up to 99; only 1 to 31 are on a line.
        return rec.station >= 1 && rec.station <= merix::kMaxEventStation ? rec.station : -1;
    case GateKind::Internal:
    case GateKind::TimeSync:
        break;
    }
    return -1;
}

std::string ResultText(int result) {
    switch (result) {
    case 0:
        return "ok";
    case 1:
        return "1 refused";
    case 2:
        return "2 failed";
    case 3:
        return "3 wrong reply";
    default:
        return std::to_string(result);
    }
}

std::string_view CounterName(Counter counter) {
    return merix::LineCounterName(counter);
}

std::string_view CounterUnit(Counter counter) {
    switch (counter) {
    case Counter::kTurnaround:
        return "us";
    case Counter::kDemotedLeft:
        return "s";
    default:
        return "";
    }
}

std::string CountersText(const StationStats& stats) {
    std::string text;
    for (size_t i = 0; i < kCounterCount; ++i) {
        const auto counter = static_cast<Counter>(i);
        const auto value = stats.counters[i];
        const std::string_view unit = CounterUnit(counter);
        text += fmt::format("{}{} {}{}{}", i == 0 ? "" : ", ", CounterName(counter),
                            value ? std::to_string(*value) : "-", unit.empty() ? "" : " ", unit);
    }
    return text;
}

uint32_t DemotionLeft(const StationStats& stats, uint32_t plcState) {
    return plcState == merix::kSwitchedOff ? 0 : stats.Get(Counter::kDemotedLeft).value_or(0);
}

const char* StationStateText(const StationStats& stats, uint32_t plcState) {
    if (DemotionLeft(stats, plcState) > 0) {
        // Whatever plcState says: a WarmStart brings the station back to communicating, yet
        // its transactions still answer at once until the period is over.
        return "demoted";
    }
    switch (plcState) {
    case merix::kCommunicating:
        return "communicating";
    case merix::kInError:
        return "in error";
    case merix::kSwitchedOff:
        return "switched off";
    default:
        return "unknown";
    }
}

std::string StationStateShown(const StationStats& stats, uint32_t plcState) {
    const uint32_t left = DemotionLeft(stats, plcState);
    const char* name = StationStateText(stats, plcState);
    return left > 0 ? fmt::format("{} {} s", name, left) : name;
}

} // namespace merixhost
