#include "host/console/gate_list.h"

#include <charconv>
#include <fstream>
#include <map>
#include <sstream>

#include <fmt/format.h>

namespace merixhost {
namespace {

constexpr const char* kUsage = "expected NAME ADDRESS TYPE [LENGTH] [every=INTERVAL]";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

/// Splits a line into fields; a comment ends it. Returns an error text, empty on success.
std::string Split(std::string_view line, std::vector<std::string>& fields) {
    size_t i = 0;
    while (i < line.size()) {
        if (IsBlank(line[i])) {
            ++i;
            continue;
        }
        if (line[i] == '#') {
            break;
        }
        std::string field;
        if (line[i] == '"') {
            const size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos) {
                return "unterminated quote";
            }
            field.assign(line.substr(i + 1, close - i - 1));
            i = close + 1;
            if (i < line.size() && !IsBlank(line[i]) && line[i] != '#') {
                return "a blank must follow the closing quote";
            }
        } else {
            while (i < line.size() && !IsBlank(line[i]) && line[i] != '#') {
                if (line[i] == '"') {
                    return "a quote may only open a field";
                }
                field.push_back(line[i++]);
            }
        }
        fields.push_back(std::move(field));
    }
    return {};
}

bool ValidName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) {
        return false;
    }
    const char first = name.front();
    if (!((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') || first == '_')) {
        return false;
    }
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::optional<int> ParseInt(std::string_view text, int low, int high) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

/// A "$EVENT" gate names its station in front ("01$EVENT"); without it the driver would
/// poll whatever station the record happened to carry.
bool EventPollWithoutStation(const std::string& address) {
    std::string upper;
    for (char c : address) {
        upper.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
    }
    const size_t dollar = upper.find("$EVENT");
    return dollar != std::string::npos && dollar != 2;
}

/// One line's gate, or an error text.
std::string ParseLine(const std::vector<std::string>& fields, GateEntry& gate) {
    if (fields.size() < 3) {
        return fmt::format("{}, got {} field{}", kUsage, fields.size(),
                           fields.size() == 1 ? "" : "s");
    }
    gate.name = fields[0];
    if (!ValidName(gate.name)) {
        return fmt::format("bad gate name '{}': letters, digits, '_', '-', '.', starting with a "
                           "letter or '_', at most {} characters",
                           gate.name, kMaxNameLength);
    }
    gate.address = fields[1];
    if (gate.address.empty() || gate.address.size() > kMaxAddressLength) {
        return fmt::format("address of '{}' must have 1 to {} characters", gate.name,
                           kMaxAddressLength);
    }
    for (char c : gate.address) {
        if (c < ' ' || c > '~') {
            return fmt::format("address of '{}' has a character that is not printable", gate.name);
        }
    }
    if (EventPollWithoutStation(gate.address)) {
        return fmt::format("'{}' needs its station in front, e.g. 01$EVENT", gate.address);
    }
    const auto type = ParseInt(fields[2], 0, 255);
    if (!type) {
        return fmt::format("gate type '{}' of '{}' is not a number from 0 to 255", fields[2],
                           gate.name);
    }
    gate.type = *type;
    for (size_t i = 3; i < fields.size(); ++i) {
        const std::string& field = fields[i];
        if (field.starts_with("every=")) {
            if (gate.interval) {
                return fmt::format("'{}' has two intervals", gate.name);
            }
            const auto interval = ParseDuration(std::string_view(field).substr(6));
            if (!interval || *interval < Millis(10)) {
                return fmt::format("interval '{}' of '{}' is not a duration of at least 10ms "
                                   "(e.g. every=500ms, every=2s)",
                                   field.substr(6), gate.name);
            }
            gate.interval = interval;
        } else if (i == 3) {
            const auto length = ParseInt(field, 1, kMaxBlockLength);
            if (!length) {
                return fmt::format("block length '{}' of '{}' is not a number from 1 to {}", field,
                                   gate.name, kMaxBlockLength);
            }
            gate.blockLength = *length;
        } else {
            return fmt::format("unexpected field '{}' ({})", field, kUsage);
        }
    }
    return {};
}

} // namespace

GateList ParseGateList(std::string_view text) {
    GateList list;
    std::map<std::string, int, std::less<>> firstLine;
    int number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        std::vector<std::string> fields;
        std::string problem = Split(line, fields);
        if (problem.empty() && fields.empty()) {
            continue;
        }
        GateEntry gate;
        gate.line = number;
        if (problem.empty()) {
            problem = ParseLine(fields, gate);
        }
        if (problem.empty()) {
            if (auto it = firstLine.find(gate.name); it != firstLine.end()) {
                problem =
                    fmt::format("gate '{}' is already defined on line {}", gate.name, it->second);
            }
        }
        if (!problem.empty()) {
            list.errors.push_back({number, std::move(problem)});
            continue;
        }
        firstLine.emplace(gate.name, number);
        list.gates.push_back(std::move(gate));
    }
    return list;
}

bool LoadGateList(const std::string& path, GateList& out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error != nullptr) {
            *error = fmt::format("cannot read the gate list '{}'", path);
        }
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    out = ParseGateList(all.str());
    return true;
}

const GateEntry* FindGate(const GateList& list, std::string_view name) {
    for (const auto& gate : list.gates) {
        if (gate.name == name) {
            return &gate;
        }
    }
    return nullptr;
}

} // namespace merixhost
