// In-memory stand-in for the host's service library: log, gates, gate definitions, alerts.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "host/qorlib_control.h"

namespace {

struct Gate {
    std::vector<qorlib::GateValue> history;
    bool deleted = false;
};

struct State {
    std::mutex mutex;
    int printLevel = -1;
    std::function<void(const qorlib::LogLine&)> sink;
    std::vector<qorlib::LogLine> log;
    std::map<std::pair<uint32_t, std::string>, uint32_t> gateIds; // (driver, address) -> id
    std::map<uint32_t, Gate> gates;
    std::vector<merix::GateDefRecord> definitions;
    std::vector<qorlib::Alert> alerts;
    std::vector<qorlib::UnCookCall> unCooks;
    uint32_t nextGateId = 1;
    uint32_t nextAlertId = 1;
    int putResult = 0;
    bool upperHalfJunk = false;
    uint32_t junk = 0;
};

State& S() {
    static State state;
    return state;
}

void AddLine(int level, const char* text) {
    State& s = S();
    std::function<void(const qorlib::LogLine&)> sink;
    qorlib::LogLine line{level, text};
    {
        std::lock_guard lock(s.mutex);
        s.log.push_back(line);
        sink = s.sink;
        if (s.printLevel >= 0 && level >= s.printLevel) {
            std::fprintf(stderr, "[%2d] %s\n", level, text);
        }
    }
    if (sink) {
        sink(line);
    }
}

void LogV(int level, const char* format, va_list args) {
    char line[1024];
    std::vsnprintf(line, sizeof line, format, args);
    AddLine(level, line);
}

/// A result as a host whose services return 16-bit values leaves it: the upper half holds
/// whatever the register held before. Called with the state locked.
int Result(State& s, int result) {
    if (!s.upperHalfJunk) {
        return result;
    }
    s.junk = s.junk * 1103515245u + 12345u;
    const uint32_t upper = (s.junk >> 16 | 1u) << 16; // never 0: the junk must show
    return static_cast<int>(upper | (static_cast<uint32_t>(result) & 0xFFFFu));
}

uint8_t DriverByte(uint32_t driverNumber) {
    return static_cast<uint8_t>(driverNumber);
}

} // namespace

extern "C" {

#if defined(_WIN32)
QORLIB_API void err(int level, const char* format, ...) {
#else
QORLIB_API void QorErr(int level, const char* format, ...) {
#endif
    va_list args;
    va_start(args, format);
    LogV(level, format, args);
    va_end(args);
}

QORLIB_API int QorUnCook(int, uint32_t hostWord, double value, void* valuePtr) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.unCooks.push_back({hostWord, value});
    if (valuePtr != nullptr) {
        // The low 16 bits, as a host's 16-bit word takes them: a double beyond int16_t would
        // be undefined to convert directly (the statistics counters reach 32 bits).
        const bool inRange = value > -9.2e18 && value < 9.2e18; // false for NaN too
        const auto word =
            static_cast<int16_t>(static_cast<uint16_t>(inRange ? static_cast<int64_t>(value) : 0));
        std::memcpy(static_cast<uint8_t*>(valuePtr) + 2, &word, sizeof word);
    }
    return Result(s, 0);
}

QORLIB_API int QorGetGateIdByAddressStr(int, uint8_t driver, const char* address,
                                        uint32_t* gateId) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    auto it = s.gateIds.find({driver, address});
    if (it == s.gateIds.end() || s.gates[it->second].deleted) {
        return Result(s, 1);
    }
    *gateId = it->second;
    return Result(s, 0);
}

QORLIB_API int QorPutGateVal(int, uint32_t gateId, int, double value, int32_t seconds,
                             uint16_t millis) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    auto it = s.gates.find(gateId);
    if (it == s.gates.end()) {
        return Result(s, 2);
    }
    if (s.putResult == 0) {
        it->second.history.push_back({value, seconds, millis});
    }
    return Result(s, s.putResult);
}

QORLIB_API int QorStartAlert(int, const char* alertClass, const char* text, int, uint32_t mask, int,
                             int, int group, int, int, int, uint32_t, uint32_t* alertId) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    if (s.nextAlertId == 0xFFFF) {
        ++s.nextAlertId; // 0xFFFF means "no alert" to the driver
    }
    const uint32_t id = s.nextAlertId++;
    s.alerts.push_back({id, alertClass, text, mask, group, true});
    *alertId = id;
    return Result(s, 0);
}

QORLIB_API int QorStampAlert(int, int, uint32_t alertId, int, int, int, int) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    for (auto& alert : s.alerts) {
        if (alert.id == alertId && alert.open) {
            alert.open = false;
            return Result(s, 0);
        }
    }
    return Result(s, 1);
}

QORLIB_API int QorFindGateDef(int, int32_t start, const merix::GateDefRecord* templ, int,
                              int32_t* found) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    const std::size_t prefix = strnlen(templ->address, sizeof templ->address);
    for (int32_t i = start < 0 ? 0 : start; i < static_cast<int32_t>(s.definitions.size()); ++i) {
        const auto& def = s.definitions[static_cast<std::size_t>(i)];
        if (std::strncmp(def.address, templ->address, prefix) == 0) {
            *found = i;
            return Result(s, 0);
        }
    }
    return Result(s, 1);
}

QORLIB_API int QorGetGateDef(int, int32_t index, merix::GateDefRecord* def) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    if (index < 0 || index >= static_cast<int32_t>(s.definitions.size())) {
        return Result(s, 1);
    }
    *def = s.definitions[static_cast<std::size_t>(index)];
    return Result(s, 0);
}

} // extern "C"

namespace qorlib {

void Reset() {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.printLevel = -1;
    s.sink = nullptr;
    s.log.clear();
    s.gateIds.clear();
    s.gates.clear();
    s.definitions.clear();
    s.alerts.clear();
    s.unCooks.clear();
    s.nextGateId = 1;
    s.nextAlertId = 1;
    s.putResult = 0;
    s.upperHalfJunk = false;
    s.junk = 0;
}

void SetPrintLevel(int level) {
    std::lock_guard lock(S().mutex);
    S().printLevel = level;
}

void SetLogSink(std::function<void(const LogLine&)> sink) {
    std::lock_guard lock(S().mutex);
    S().sink = std::move(sink);
}

std::vector<LogLine> Log() {
    std::lock_guard lock(S().mutex);
    return S().log;
}

void ClearLog() {
    std::lock_guard lock(S().mutex);
    S().log.clear();
}

bool Logged(const std::string& text, std::optional<int> level) {
    std::lock_guard lock(S().mutex);
    for (const auto& line : S().log) {
        if (line.text == text && (!level || *level == line.level)) {
            return true;
        }
    }
    return false;
}

uint32_t DefineGate(const std::string& address, uint32_t driverNumber) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    const auto key = std::make_pair(static_cast<uint32_t>(DriverByte(driverNumber)), address);
    if (auto it = s.gateIds.find(key); it != s.gateIds.end()) {
        s.gates[it->second].deleted = false;
        return it->second;
    }
    const uint32_t id = s.nextGateId++;
    s.gateIds[key] = id;
    s.gates[id] = Gate{};
    merix::GateDefRecord def{};
    def.driverIndex = driverNumber - 1;
    std::snprintf(def.address, sizeof def.address, "%s", address.c_str());
    s.definitions.push_back(def);
    return id;
}

void DeleteGate(const std::string& address, uint32_t driverNumber) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    auto it = s.gateIds.find({DriverByte(driverNumber), address});
    if (it != s.gateIds.end()) {
        s.gates[it->second].deleted = true;
    }
}

void UndefineGate(const std::string& address, uint32_t driverNumber) {
    DeleteGate(address, driverNumber);
    State& s = S();
    std::lock_guard lock(s.mutex);
    std::erase_if(s.definitions, [&](const merix::GateDefRecord& def) {
        return def.driverIndex == driverNumber - 1 &&
               address == std::string(def.address, strnlen(def.address, sizeof def.address));
    });
}

std::vector<GateValue> History(const std::string& address, uint32_t driverNumber) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    auto it = s.gateIds.find({DriverByte(driverNumber), address});
    return it == s.gateIds.end() ? std::vector<GateValue>{} : s.gates[it->second].history;
}

std::optional<GateValue> LastValue(const std::string& address, uint32_t driverNumber) {
    auto history = History(address, driverNumber);
    if (history.empty()) {
        return std::nullopt;
    }
    return history.back();
}

void ClearHistory() {
    std::lock_guard lock(S().mutex);
    for (auto& [id, gate] : S().gates) {
        gate.history.clear();
    }
}

void SetPutGateValResult(int result) {
    std::lock_guard lock(S().mutex);
    S().putResult = result;
}

void SetUpperHalfJunk(bool on) {
    std::lock_guard lock(S().mutex);
    S().upperHalfJunk = on;
}

std::vector<Alert> Alerts() {
    std::lock_guard lock(S().mutex);
    return S().alerts;
}

std::vector<Alert> OpenAlerts() {
    std::lock_guard lock(S().mutex);
    std::vector<Alert> open;
    for (const auto& alert : S().alerts) {
        if (alert.open) {
            open.push_back(alert);
        }
    }
    return open;
}

std::vector<UnCookCall> UnCookCalls() {
    std::lock_guard lock(S().mutex);
    return S().unCooks;
}

} // namespace qorlib
