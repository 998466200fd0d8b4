// The gate list: the gates a host scans, one a line.
//
//   # name          address     type  [block length]  [every=INTERVAL]
//   boiler_temp     01300000    0
//   conveyor_speed  02300000    0     4               every=500ms
//   valve_bit       "0130010 "  6
//
// Fields are separated by blanks or tabs; an address that contains blanks is written in
// double quotes. "#" starts a comment. The driver decides whether an address is valid; the
// list only checks what the host itself needs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/console/duration.h"

namespace merixhost {

inline constexpr size_t kMaxAddressLength = 31;
inline constexpr size_t kMaxNameLength = 32;
inline constexpr int kMaxBlockLength = 9999;

struct GateEntry {
    std::string name;
    std::string address;
    int type = 0;
    int blockLength = 0; ///< 0 for a single gate
    std::optional<Millis> interval;
    int line = 0;
};

struct GateListError {
    int line = 0;
    std::string message;
};

struct GateList {
    std::vector<GateEntry> gates;
    std::vector<GateListError> errors;
};

/// Parses the text of a gate list; every bad line gives one error with its number.
GateList ParseGateList(std::string_view text);

/// Reads and parses a file; false with `error` set when it cannot be read.
bool LoadGateList(const std::string& path, GateList& out, std::string* error);

/// The gate of that name, or nullptr.
const GateEntry* FindGate(const GateList& list, std::string_view name);

} // namespace merixhost
