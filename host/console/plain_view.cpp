#include "host/console/plain_view.h"

#include <cstdio>

#include <fmt/format.h>

#include "host/console/summary.h"
#include "host/qorlib_control.h"

namespace merixhost {
namespace {
constexpr unsigned kStationEvery = 20;
}

void PlainView::Line(const std::string& text) {
    fmt::print("{} {}\n", ClockText(std::chrono::system_clock::now()), text);
    std::fflush(stdout);
}

void PlainView::OnAccess(const GateState& gate, Access op, int result) {
    if (op == Access::Write) {
        return; // the scanner reports writes itself
    }
    // An event poll's news are its events, which have lines of their own.
    const std::string value = gate.kind == GateKind::EventPoll ? "" : gate.valueText;
    auto [it, added] = last_.try_emplace(gate.entry.name, value, result);
    if (gate.kind == GateKind::EventPoll && added && result == 0) {
        return;
    }
    if (!added && it->second == std::make_pair(value, result)) {
        return;
    }
    it->second = {value, result};
    if (gate.kind == GateKind::EventPoll && result == 0) {
        Line(fmt::format("gate {} ok again", gate.entry.name));
    } else if (result == 0) {
        Line(fmt::format("gate {} = {}", gate.entry.name, value));
    } else {
        Line(fmt::format("gate {} {}", gate.entry.name, ResultText(result)));
    }
}

void PlainView::OnEvent(const EventRecord& e) {
    if (e.IsState()) {
        Line(fmt::format("state {} {} = {:g}", e.gate, e.address, e.value));
    } else {
        Line(fmt::format("event {} {} = {:g} at {}", e.gate, e.address, e.value,
                         StampText(e.seconds, e.millis)));
    }
}

void PlainView::Refresh(const Scanner& scanner) {
    for (const auto& a : qorlib::Alerts()) {
        auto [it, added] = alerts_.try_emplace(a.id, a.open);
        if (added && a.open) {
            Line(fmt::format("alert #{} opened: {} {}", a.id, a.alertClass, a.text));
        } else if (it->second && !a.open) {
            Line(fmt::format("alert #{} ended: {} {}", a.id, a.alertClass, a.text));
        }
        it->second = a.open;
    }
    if (++refreshes_ % kStationEvery != 0) {
        return;
    }
    for (const auto& line : StationLines(scanner)) {
        Line(line);
    }
}

} // namespace merixhost
