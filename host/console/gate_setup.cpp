// The scanner's set-up: gates built from the list, parsed by the driver, classified, and
// the gates the scan needs besides them.
#include <fmt/format.h>

#include "host/console/scanner.h"
#include "host/qorlib_control.h"

namespace merixhost {
namespace {

constexpr int32_t kEventAddress = 0xFFFD;
constexpr int32_t kTimeAddress = 0xFFFC;
constexpr int32_t kInternalFunction = 80;
constexpr int32_t kEventFunction = 69;

std::string DriverWords(const std::vector<qorlib::LogLine>& lines) {
    std::string words;
    for (const auto& line : lines) {
        std::string_view text = line.text;
        if (text.starts_with("MERIX> ")) {
            text.remove_prefix(7);
        }
        words += words.empty() ? "" : "; ";
        words += text;
    }
    return words.empty() ? "no reason logged" : words;
}

} // namespace

void Scanner::AddGate(const GateEntry& entry, bool synthetic) {
    GateState gate;
    gate.entry = entry;
    gate.synthetic = synthetic;
    gate.text.assign(entry.address.begin(), entry.address.end());
    gate.text.resize(std::max<size_t>(gate.text.size() + 1, 16), '\0');
    gate.parsed.gateType = entry.type;
    gate.parsed.blockLength = entry.blockLength;
    gate.parsed.bitNumber = -1;
    const size_t count = entry.blockLength > 0 ? static_cast<size_t>(entry.blockLength) : 1;
    // Registers take two bytes each; bits count / 8 + 1 bytes; a single value sits at 2.
    gate.value.assign(2 * count + 2, 0);
    gates_.push_back(std::move(gate));
    GateState& added = gates_.back();
    added.parsed.addressString = added.text.data();
    ParseGate(added);
}

void Scanner::ParseGate(GateState& gate) {
    gate.parseResult = Tracked([&] {
        return gate.entry.blockLength > 0 ? driver_.ParseBlock(gate.parsed)
                                          : driver_.ParseSingle(gate.parsed);
    });
    if (!gate.Accepted()) {
        // The block parser gives its result 2 without a word of its own.
        gate.parseNote = gate.parseResult == 2 && captured_.empty()
                             ? "not as a block (at most 127 registers or 1999 bits, no "
                               "internal gates)"
                             : DriverWords(captured_);
        return;
    }
    Classify(gate);
    merix::GateAccessRecord& rec = gate.rec;
    rec.addressString = gate.text.data();
    rec.station = gate.parsed.station;
    rec.function = gate.parsed.function;
    rec.address = gate.parsed.address;
    rec.gateType = gate.entry.type;
    rec.count = gate.kind == GateKind::Block ? gate.entry.blockLength : 1;
    rec.valuePtr = gate.value.data();
}

void Scanner::Classify(GateState& gate) {
    const merix::GateParseRecord& p = gate.parsed;
    const bool special = gate.entry.address.find('$') != std::string::npos;
    if (special && p.address == kEventAddress) {
        gate.kind = GateKind::EventPoll;
    } else if (special && p.address == kTimeAddress) {
        gate.kind = GateKind::TimeSync;
    } else if (p.function == kInternalFunction) {
        gate.kind = GateKind::Internal;
    } else if (p.function == kEventFunction) {
        gate.kind = GateKind::EventGate;
        // The driver finds the gate by this text, whatever case the list used.
        gate.eventAddress = fmt::format("E{:02}{:04}", p.station, p.address);
    } else if (gate.entry.blockLength > 0) {
        gate.kind = GateKind::Block;
    } else {
        gate.kind = GateKind::Single; // "$ERROR" is read like an ordinary gate
    }
    gate.interval = gate.entry.interval.value_or(
        gate.kind == GateKind::EventPoll ? settings_.eventInterval : settings_.interval);
}

void Scanner::AddEventPolls() {
    for (int st = 1; st <= merix::kMaxEventStation; ++st) {
        std::vector<size_t> events;
        for (size_t i = 0; i < gates_.size(); ++i) {
            if (gates_[i].Accepted() && gates_[i].kind == GateKind::EventGate &&
                gates_[i].rec.station == st) {
                events.push_back(i);
            }
        }
        GateState* poll = nullptr;
        for (auto& gate : gates_) {
            if (gate.Accepted() && gate.kind == GateKind::EventPoll && gate.rec.station == st) {
                poll = &gate;
                break;
            }
        }
        if (poll == nullptr && events.empty()) {
            continue;
        }
        if (poll == nullptr) {
            // Not a valid list name, so it cannot clash with one.
            GateEntry entry{fmt::format("(st{:02} events)", st),
                            fmt::format("{:02}$EVENT", st),
                            0,
                            0,
                            settings_.eventInterval,
                            0};
            AddGate(entry, true);
            Report(ParseReport(gates_.back()));
            poll = &gates_.back();
        }
        poll->eventGates = std::move(events);
    }
}

void Scanner::AddTimeGate() {
    if (!settings_.syncTime && !settings_.timeSyncEvery) {
        return;
    }
    for (const auto& gate : gates_) {
        if (gate.Accepted() && gate.kind == GateKind::TimeSync) {
            return;
        }
    }
    AddGate(GateEntry{"(time sync)", "$TIME", 0, 0, std::nullopt, 0}, true);
    Report(ParseReport(gates_.back()));
}

void Scanner::Prepare(const GateList& list) {
    gates_.clear();
    gates_.reserve(list.gates.size() + merix::kStationCount + 1);
    for (const auto& entry : list.gates) {
        AddGate(entry, false);
        Report(ParseReport(gates_.back()));
    }
    AddEventPolls();
    AddTimeGate();
    for (auto& gate : gates_) {
        if (!gate.Accepted()) {
            continue;
        }
        if (gate.kind == GateKind::EventGate) {
            // The driver counts a station's event gates among the host's definitions and
            // delivers each event into the gate it finds by address.
            qorlib::DefineGate(gate.eventAddress, driver_.Number());
        }
        if (const int st = gate.Station(); st >= 0) {
            stations_[static_cast<size_t>(st)].used = true;
        }
    }
    PrepareStatistics();
}

void Scanner::PrepareStatistics() {
    std::vector<int> stations;
    for (int st = 1; st <= merix::kMaxEventStation; ++st) {
        if (stations_[static_cast<size_t>(st)].used) {
            stations.push_back(st);
        }
    }
    captured_.clear();
    if (statistics_.Prepare(driver_, stations)) {
        Report(fmt::format("statistics: the driver's counters of {} station(s) and the whole "
                           "line, {} internal gates",
                           stations.size(), statistics_.Count()));
    } else {
        Report(fmt::format("statistics: '{}' refused by the driver ({}); the stations show no "
                           "counters",
                           statistics_.Refused(), DriverWords(captured_)));
    }
}

std::string Scanner::ParseReport(const GateState& gate) const {
    const std::string head = fmt::format(
        "{:<18} {:<10} type {}{}", gate.entry.name, "'" + gate.entry.address + "'", gate.entry.type,
        gate.entry.blockLength > 0 ? fmt::format(", block of {}", gate.entry.blockLength)
                                   : std::string{});
    if (!gate.Accepted()) {
        return fmt::format("{}: refused ({}): {}", head, gate.parseResult, gate.parseNote);
    }
    const merix::GateParseRecord& p = gate.parsed;
    switch (gate.kind) {
    case GateKind::EventPoll:
        return fmt::format("{}: accepted: event poll of station {}", head, p.station);
    case GateKind::TimeSync:
        return fmt::format("{}: accepted: clock synchronisation (broadcast)", head);
    case GateKind::Internal:
        return fmt::format("{}: accepted: internal gate {}", head, p.address);
    case GateKind::EventGate:
        return fmt::format("{}: accepted: event {} of station {}", head, p.address, p.station);
    case GateKind::Block:
    case GateKind::Single:
        break;
    }
    return fmt::format("{}: accepted: station {}, function {}, address {}{}, width {}", head,
                       p.station, p.function, p.address,
                       p.bitNumber >= 0 ? fmt::format(", bit {}", p.bitNumber) : "", p.valueWidth);
}

} // namespace merixhost
