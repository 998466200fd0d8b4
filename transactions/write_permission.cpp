#include "transactions/write_permission.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "gates/address_parser.h"
#include "serial/function_table.h"
#include "serial/protocol.h"

namespace merix {

namespace {

constexpr int32_t kHighestStation = 99; // two digits

/// [begin, end) without blanks on either side.
void TrimBlanks(const char*& begin, const char*& end) {
    while (begin < end && *begin == ' ') {
        ++begin;
    }
    while (end > begin && end[-1] == ' ') {
        --end;
    }
}

/// One gate address of a WRITE line, read by the parser as the host's gate of type 0 is. Only
/// a coil or a holding register of an address the line carries is taken.
bool ReadGate(const char* begin, const char* end, DriverContext& ctx, GateParseRecord& rec) {
    TrimBlanks(begin, end);
    const auto length = static_cast<std::size_t>(end - begin);
    // An event gate would be counted into the context's event tables by the parser: refused
    // before it gets there, as is any text longer than a gate address.
    if (length == 0 || length > static_cast<std::size_t>(kMaxAddressLength) ||
        IsEventAddress(begin)) {
        return false;
    }
    char copy[kMaxAddressLength + 1] = {};
    std::memcpy(copy, begin, length);
    rec = GateParseRecord{};
    rec.addressString = copy;
    rec.gateType = kGateType0;
    CallBlock cb{&ctx, 0, ctx.vpiNumber, 0, &rec};
    const bool parsed = Parse(&cb) == kResultOk;
    rec.addressString = nullptr; // the copy ends here
    return parsed && (rec.function == kReadCoils || rec.function == kReadHoldingRegisters) &&
           FitsModbusAddresses(rec.address, 1); // a rule beyond it would allow another's write
}

bool IsTwoDigits(const char* value) {
    return std::strlen(value) == 2 && std::isdigit(static_cast<unsigned char>(value[0])) != 0 &&
           std::isdigit(static_cast<unsigned char>(value[1])) != 0;
}

/// Every coil and register of the station of two digits; 00, the broadcast, is no station.
bool ReadStation(const char* value, WriteRule& rule) {
    const int32_t station = (value[0] - '0') * 10 + (value[1] - '0');
    rule = WriteRule{.kind = WriteRuleKind::kStation, .station = station};
    return station >= 1 && station <= kHighestStation;
}

/// A gate, or a range of gates of one station and function, both ends included.
bool ReadGates(const char* value, DriverContext& ctx, WriteRule& rule) {
    const char* end = value + std::strlen(value);
    const char* dash = std::strchr(value, '-');
    GateParseRecord first{};
    GateParseRecord last{};
    if (dash == nullptr) {
        if (!ReadGate(value, end, ctx, first)) {
            return false;
        }
        last = first;
    } else if (!ReadGate(value, dash, ctx, first) || !ReadGate(dash + 1, end, ctx, last)) {
        return false;
    }
    rule = WriteRule{.kind = WriteRuleKind::kGates,
                     .station = first.station,
                     .function = first.function,
                     .first = first.address,
                     .last = last.address};
    // Ends of another station or function, or the wrong way round, name no range the plant
    // could have meant for certain.
    return last.station == first.station && last.function == first.function &&
           first.address <= last.address;
}

} // namespace

WriteLine AddWriteLine(WriteRules& rules, const char* value, DriverContext& ctx) {
    rules.restricted = true;
    if (value == nullptr) {
        return WriteLine::kMalformed;
    }
    if (std::strcmp(value, "NONE") == 0) {
        return WriteLine::kNone;
    }
    WriteRule rule;
    if (std::strcmp(value, "$TIME") == 0) {
        rule = WriteRule{.kind = WriteRuleKind::kTime};
    } else if (IsTwoDigits(value) ? !ReadStation(value, rule) : !ReadGates(value, ctx, rule)) {
        return WriteLine::kMalformed;
    }
    if (rules.count < 0 || rules.count >= kMaxWriteRules) {
        return WriteLine::kFull;
    }
    rules.rules[rules.count++] = rule;
    return WriteLine::kAdded;
}

bool WriteAllowed(const WriteRules& rules, const GateAccessRecord& gate) {
    if (!rules.restricted) {
        return true;
    }
    if (gate.function != kReadCoils && gate.function != kReadHoldingRegisters) {
        return false;
    }
    const int count = std::clamp(rules.count, 0, kMaxWriteRules);
    for (int i = 0; i < count; ++i) {
        const WriteRule& r = rules.rules[i];
        if (r.station != gate.station) {
            continue;
        }
        if (r.kind == WriteRuleKind::kStation) {
            return true;
        }
        if (r.kind == WriteRuleKind::kGates && r.function == gate.function &&
            gate.address >= r.first && gate.address <= r.last) {
            return true;
        }
    }
    return false;
}

bool TimeSyncAllowed(const WriteRules& rules) {
    if (!rules.restricted) {
        return true;
    }
    const int count = std::clamp(rules.count, 0, kMaxWriteRules);
    return std::any_of(rules.rules, rules.rules + count,
                       [](const WriteRule& r) { return r.kind == WriteRuleKind::kTime; });
}

} // namespace merix
