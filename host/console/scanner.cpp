#include "host/console/scanner.h"

#include <cstring>

#include <fmt/format.h>

#include "host/qorlib_control.h"
#include "serial/function_table.h"

namespace merixhost {
namespace {

constexpr size_t kRecentEvents = 200;
constexpr size_t kCapturedLines = 50;

int16_t Word(const GateState& gate, size_t offset) {
    int16_t word = 0;
    if (offset + sizeof word <= gate.value.size()) {
        std::memcpy(&word, gate.value.data() + offset, sizeof word);
    }
    return word;
}

} // namespace

Scanner::Scanner(DriverInstance& driver, LogRouter& log, const ScanSettings& settings)
    : driver_(driver), log_(log), settings_(settings) {
    log_.SetTap([this](const qorlib::LogLine& line) {
        if (captured_.size() < kCapturedLines) {
            captured_.push_back(line);
        }
    });
}

int32_t Scanner::Tracked(const std::function<int32_t()>& call) {
    captured_.clear();
    return call();
}

void Scanner::ReadStatistics() {
    statistics_.Read(driver_, stations_);
    health_.Update(stations_, driver_.Context().plcState, std::chrono::steady_clock::now());
}

void Scanner::Report(const std::string& line) {
    if (observer_.onReport) {
        observer_.onReport(line);
    }
}

void Scanner::Start(SteadyTime now) {
    for (auto& gate : gates_) {
        gate.due = SteadyTime::max();
        if (!gate.Accepted() || gate.kind == GateKind::EventGate) {
            continue;
        }
        if (gate.kind == GateKind::TimeSync) {
            if (settings_.syncTime) {
                gate.due = now;
            } else if (settings_.timeSyncEvery) {
                gate.due = now + *settings_.timeSyncEvery;
            }
            continue;
        }
        gate.due = now;
    }
}

SteadyTime Scanner::NextDue() const {
    SteadyTime next = SteadyTime::max();
    for (const auto& gate : gates_) {
        next = std::min(next, gate.due);
    }
    return next;
}

bool Scanner::RunNext(SteadyTime now) {
    GateState* next = nullptr;
    for (auto& gate : gates_) {
        if (gate.due <= now && (next == nullptr || gate.due < next->due)) {
            next = &gate;
        }
    }
    if (next == nullptr) {
        return false;
    }
    Execute(*next);
    const SteadyTime latest = std::max(now, std::chrono::steady_clock::now());
    std::optional<Millis> every = next->interval;
    if (next->kind == GateKind::TimeSync) {
        every = settings_.timeSyncEvery;
    }
    if (!every) {
        next->due = SteadyTime::max();
    } else {
        // A gate that fell behind is read once and keeps its interval from now on, rather
        // than once for every interval it missed.
        next->due += *every;
        if (next->due <= latest) {
            next->due = latest + *every;
        }
    }
    return true;
}

void Scanner::Execute(GateState& gate) {
    switch (gate.kind) {
    case GateKind::TimeSync:
        std::memset(gate.value.data(), 0, gate.value.size());
        Notify(gate, Access::Write, Perform(gate, Access::Write));
        return;
    case GateKind::EventPoll: {
        const int result = Perform(gate, Access::Read);
        CollectEvents(gate);
        Notify(gate, Access::Read, result);
        return;
    }
    case GateKind::EventGate:
        return;
    case GateKind::Single:
    case GateKind::Block:
    case GateKind::Internal:
        Notify(gate, Access::Read, Perform(gate, Access::Read));
        return;
    }
}

void Scanner::Notify(const GateState& gate, Access op, int result) {
    if (observer_.onAccess) {
        observer_.onAccess(gate, op, result);
    }
}

int Scanner::Perform(GateState& gate, Access op) {
    const int result = Tracked([&] {
        if (op == Access::Write) {
            return driver_.Write(gate.rec);
        }
        return gate.kind == GateKind::Block ? driver_.ReadBlock(gate.rec) : driver_.Read(gate.rec);
    });
    ++gate.accesses;
    gate.lastResult = result;
    if (result == 0) {
        gate.lastGood = std::chrono::system_clock::now();
        if (op == Access::Read && gate.kind != GateKind::EventPoll) {
            UpdateValueText(gate);
        } else if (gate.kind == GateKind::TimeSync) {
            gate.valueText = "clocks set";
        }
    } else {
        ++gate.failures;
    }
    return result;
}

void Scanner::CollectEvents(GateState& poll) {
    int delivered = 0;
    std::string states;
    for (size_t index : poll.eventGates) {
        GateState& gate = gates_[index];
        for (const auto& v : qorlib::History(gate.eventAddress, driver_.Number())) {
            EventRecord event;
            event.received = std::chrono::system_clock::now();
            event.station = gate.rec.station;
            event.number = gate.rec.address;
            event.gate = gate.entry.name;
            event.address = gate.eventAddress;
            event.value = v.value;
            event.seconds = v.seconds;
            event.millis = v.millis;
            gate.eventValue = v.value;
            gate.lastGood = event.received;
            gate.lastResult = 0;
            ++gate.accesses;
            if (event.IsState()) {
                ++stateCount_;
            } else {
                ++eventCount_;
                ++delivered;
            }
            if (observer_.onEvent) {
                observer_.onEvent(event);
            }
            recent_.push_back(std::move(event));
            if (recent_.size() > kRecentEvents) {
                recent_.pop_front();
            }
        }
        gate.valueText = gate.eventValue ? fmt::format("{:g}", *gate.eventValue) : "";
        states += gate.eventValue ? (*gate.eventValue != 0 ? '1' : '0') : '-';
    }
    // Each poll delivers one station's events only, so the history is consumed whole.
    qorlib::ClearHistory();
    poll.lastPollEvents = delivered;
    if (poll.lastResult == 0 || delivered > 0) {
        poll.valueText = poll.eventGates.empty() ? fmt::format("+{}", delivered)
                                                 : fmt::format("{} +{}", states, delivered);
    }
}

void Scanner::UpdateValueText(GateState& gate) {
    const auto& rec = gate.rec;
    if (gate.kind != GateKind::Block) {
        const int16_t word = Word(gate, 2);
        const bool registerValue = rec.function >= 0 && rec.function <= 0xFF &&
                                   merix::ReadsRegisters(static_cast<uint8_t>(rec.function)) &&
                                   rec.gateType != 6 && gate.kind != GateKind::Internal;
        gate.valueText =
            registerValue ? std::to_string(static_cast<uint16_t>(word)) : std::to_string(word);
        return;
    }
    std::string text;
    const auto count = static_cast<size_t>(rec.count);
    if (rec.gateType == 6) {
        // Bit i of a bit block is bit i % 8 of byte i / 8.
        for (size_t i = 0; i < count && i / 8 < gate.value.size(); ++i) {
            text += (gate.value[i / 8] >> (i % 8)) & 1 ? '1' : '0';
        }
    } else {
        for (size_t i = 0; i < count; ++i) {
            text +=
                fmt::format("{}{}", i == 0 ? "" : " ", static_cast<uint16_t>(Word(gate, 2 * i)));
        }
    }
    gate.valueText = std::move(text);
}

std::optional<int> Scanner::Write(const std::string& name, int32_t value, std::string* error) {
    GateState* target = nullptr;
    for (auto& gate : gates_) {
        if (!gate.synthetic && gate.entry.name == name) {
            target = &gate;
        }
    }
    if (target == nullptr) {
        *error = fmt::format("no gate '{}' in the gate list", name);
        return std::nullopt;
    }
    if (!target->Accepted()) {
        *error = fmt::format("gate '{}' was refused by the driver", name);
        return std::nullopt;
    }
    if (target->kind == GateKind::Block) {
        *error = fmt::format("gate '{}' is a block; the driver writes single gates only", name);
        return std::nullopt;
    }
    if (target->kind == GateKind::EventGate || target->kind == GateKind::EventPoll) {
        *error = fmt::format("gate '{}' gets its values from the controller's events", name);
        return std::nullopt;
    }
    const auto word = static_cast<int16_t>(static_cast<uint16_t>(value));
    std::memcpy(target->value.data() + 2, &word, sizeof word);
    const int result = Perform(*target, Access::Write);
    Notify(*target, Access::Write, result);
    const std::string why = result != 0 && !captured_.empty() ? ": " + captured_.back().text : "";
    Report(fmt::format("write {} = {} -> {}{}", name, value, ResultText(result), why));
    return result;
}

int Scanner::WarmStart(int station) {
    const int result = Tracked([&] { return driver_.WarmStart(static_cast<uint32_t>(station)); });
    std::string words;
    for (const auto& line : captured_) {
        words += (words.empty() ? "" : "; ") + line.text;
    }
    Report(fmt::format("warm start of station {} -> {}{}", station, result,
                       words.empty() ? "" : ": " + words));
    return result;
}

} // namespace merixhost
